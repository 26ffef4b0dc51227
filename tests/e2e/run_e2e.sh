#!/usr/bin/env bash
# End-to-end test through a real Linux kernel: boots Debian's kernel under
# QEMU with a busybox initramfs that holds lumavix-simcam and lumavix-fw, and
# runs tests/e2e/guest.sh inside it (simulated camera served through uhid,
# found and driven through hidraw). The guest's console result line decides.
#
# Exits 0 on a pass, 1 on a failure and 77 (a visible skip) when QEMU, busybox
# or the kernel package cannot be had. Missing Debian packages are installed
# when running as root (or with password-less sudo) unless LUMAVIX_E2E_INSTALL=0.
# The kernel package is downloaded once into the cache directory.
#
# usage: run_e2e.sh --fw PATH --simcam PATH --cache DIR --work DIR
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
fw= simcam= cache= work=
while [ $# -gt 0 ]; do
  case $1 in
    --fw) fw=$2; shift 2 ;;
    --simcam) simcam=$2; shift 2 ;;
    --cache) cache=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    *) echo "usage: $0 --fw PATH --simcam PATH --cache DIR --work DIR" >&2; exit 2 ;;
  esac
done
if [ -z "$fw" ] || [ -z "$simcam" ] || [ -z "$cache" ] || [ -z "$work" ]; then
  echo "usage: $0 --fw PATH --simcam PATH --cache DIR --work DIR" >&2
  exit 2
fi
cache=${LUMAVIX_E2E_CACHE:-$cache}
mkdir -p "$cache" "$work" || exit 1
# The expected answers are made from other working directories.
fw=$(realpath "$fw") simcam=$(realpath "$simcam") cache=$(realpath "$cache") work=$(realpath "$work")

# Whole-test budget in seconds; the guest gets what is left of it.
budget=${LUMAVIX_E2E_BUDGET:-170}
profile="q,latency-us=0"

# shellcheck source=e2e_common.sh
. "$here/e2e_common.sh"

e2e_need_tools
e2e_fetch_kernel "$cache" hid hid-generic uhid
note "kernel: ${kernel_dir##*/kernel-}"

# --------------------------------------------------------------- initramfs --

[ -x "$fw" ] || die "$fw is not built"
[ -x "$simcam" ] || die "$simcam is not built"
e2e_warn_stale "$fw" "$simcam"
e2e_make_root "$work" "$fw" "$simcam"
cp "$kernel_dir"/{hid,hid-generic,uhid}.ko "$root/e2e/modules/"
cp "$here/guest.sh" "$root/init"
chmod 755 "$root/init"

# Expected answers, from the in-process simulated camera with the same
# profile: standard output in expected/NAME, exit status in expected/NAME.rc.
# status and update run, here and in the guest, in the folder of the firmware
# file, a newer version of the camera's own firmware.
sim=("$fw" "--simulate=$profile")
host_state="$work/host.state"
expect reg-read "${sim[@]}" reg read 0 4 || die "in-process reg read failed"
expect flash-id "${sim[@]}" flash id || die "in-process flash id failed"
expect flash-read "${sim[@]}" flash read 0 0x10000 || die "in-process flash read failed"
cp "$expected/flash-read" "$expected/flash-after-restart"
cp "$expected/flash-read.rc" "$expected/flash-after-restart.rc"

have_status=0 have_update=0
commands=$("$fw" --help 2>/dev/null | awk '/^Subcommands:/ { on = 1; next } on { print $1 }')
grep -qx status <<<"$commands" && have_status=1
grep -qx update <<<"$commands" && have_update=1
if [ $have_status = 1 ] || [ $have_update = 1 ]; then
  "$fw" make-firmware --version 0105 --product-id 0E51 -o "$fwdir/update.bin" >/dev/null ||
    die "make-firmware failed"
fi
if [ $have_status = 1 ]; then
  expect status "${sim[@]}" status
  note "in-process status: exit $(cat "$expected/status.rc")"
fi
if [ $have_update = 1 ]; then
  expect update "${sim[@]}" --sim-state "$host_state" update --yes update.bin ||
    { cat "$expected/update" "$work/update.err"; die "in-process update failed"; }
  if [ $have_status = 1 ]; then
    expect status-after-update "${sim[@]}" --sim-state "$host_state" status
    note "in-process status after the update: exit $(cat "$expected/status-after-update.rc")"
  fi
  expect flash-after-update "${sim[@]}" --sim-state "$host_state" flash read 0 0x20000 ||
    die "in-process flash read failed"
  cp "$expected/flash-after-update" "$expected/flash-after-restart"
  cp "$expected/flash-after-update.rc" "$expected/flash-after-restart.rc"
fi
note "commands: list reg-read flash-id flash-read$([ $have_status = 1 ] && echo ' status')$([ $have_update = 1 ] && echo ' update')"

cat >"$root/e2e/config.sh" <<EOF
PROFILE='$profile'
VID=2A9C
PID=0E51
HAVE_STATUS=$have_status
HAVE_UPDATE=$have_update
EOF

e2e_pack_initramfs

# -------------------------------------------------------------------- boot --

e2e_boot
