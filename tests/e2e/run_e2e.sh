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

started=$SECONDS
# Whole-test budget in seconds; the guest gets what is left of it.
budget=${LUMAVIX_E2E_BUDGET:-170}
profile="q,latency-us=0"

skip() { echo "SKIP: $*"; exit 77; }
die() { echo "FAIL: $*"; exit 1; }
note() { echo "e2e: $*"; }
left() { echo $((budget - (SECONDS - started))); }

# ------------------------------------------------------------------ tools --

sudo_cmd=()
can_install() {
  [ "${LUMAVIX_E2E_INSTALL:-1}" != 0 ] || return 1
  command -v apt-get >/dev/null 2>&1 || return 1
  if [ "$(id -u)" -eq 0 ]; then sudo_cmd=(); return 0; fi
  command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null && { sudo_cmd=(sudo -n); return 0; }
  return 1
}

apt_lists_updated=0
apt_update() {
  [ $apt_lists_updated = 1 ] && return 0
  apt_lists_updated=1
  note "updating the package lists"
  DEBIAN_FRONTEND=noninteractive timeout 180 "${sudo_cmd[@]}" apt-get update -qq >/dev/null 2>&1
}

busybox_static() {
  local b
  b=$(command -v busybox 2>/dev/null) || return 1
  # The initramfs has no C library: only the static build runs there.
  ! ldd "$b" >/dev/null 2>&1
}

tools_missing() {
  local missing=()
  command -v qemu-system-x86_64 >/dev/null 2>&1 || missing+=(qemu-system-x86)
  busybox_static || missing+=(busybox-static)
  command -v cpio >/dev/null 2>&1 || missing+=(cpio)
  echo "${missing[@]}"
}

missing=$(tools_missing)
if [ -n "$missing" ]; then
  can_install || skip "missing $missing (install them, or let this test do it: run as root or with password-less sudo, LUMAVIX_E2E_INSTALL unset)"
  note "installing $missing"
  # shellcheck disable=SC2086
  if ! DEBIAN_FRONTEND=noninteractive timeout 300 "${sudo_cmd[@]}" apt-get install -y -qq \
      --no-install-recommends $missing >/dev/null 2>&1; then
    apt_update
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive timeout 300 "${sudo_cmd[@]}" apt-get install -y -qq \
      --no-install-recommends $missing >/dev/null 2>&1
  fi
  missing=$(tools_missing)
  [ -z "$missing" ] || skip "could not install $missing"
fi
for t in dpkg-deb gzip ldd; do
  command -v $t >/dev/null 2>&1 || skip "$t is not available"
done

# ----------------------------------------------------------------- kernel --

# A kernel directory holds vmlinuz and the three modules, uncompressed.
kernel_complete() {
  [ -f "$1/vmlinuz" ] && [ -f "$1/hid.ko" ] && [ -f "$1/hid-generic.ko" ] && [ -f "$1/uhid.ko" ]
}

kernel_dir=
for d in "$cache"/kernel-*; do
  if kernel_complete "$d"; then kernel_dir=$d; break; fi
done

if [ -z "$kernel_dir" ]; then
  command -v apt-get >/dev/null 2>&1 || skip "apt-get is not available to fetch a kernel"
  kernel_pkg() {
    apt-cache depends linux-image-amd64 2>/dev/null |
      awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }'
  }
  pkg=$(kernel_pkg)
  if [ -z "$pkg" ] && can_install; then apt_update; pkg=$(kernel_pkg); fi
  [ -n "$pkg" ] || skip "the package list names no linux-image-amd64 kernel"
  mkdir -p "$cache/download"
  deb=$(ls "$cache/download/${pkg}_"*.deb 2>/dev/null | head -n 1)
  if [ -z "$deb" ]; then
    note "downloading $pkg"
    # apt's download sandbox user may not write into the build tree.
    (cd "$cache/download" && timeout 300 apt-get download -q -o APT::Sandbox::User=root "$pkg" \
        >/dev/null 2>&1) || skip "could not download $pkg"
    deb=$(ls "$cache/download/${pkg}_"*.deb 2>/dev/null | head -n 1)
    [ -n "$deb" ] || skip "could not download $pkg"
  fi
  ext="$cache/extract-$pkg"
  rm -rf "$ext"; mkdir -p "$ext"
  dpkg-deb --fsys-tarfile "$deb" |
    tar -x -C "$ext" --wildcards './boot/vmlinuz-*' '*/kernel/drivers/hid/hid.ko*' \
      '*/kernel/drivers/hid/hid-generic.ko*' '*/kernel/drivers/hid/uhid.ko*' 2>/dev/null
  kdir="$cache/kernel-$pkg"
  rm -rf "$kdir"; mkdir -p "$kdir"
  vmlinuz=$(ls "$ext"/boot/vmlinuz-* 2>/dev/null | head -n 1)
  [ -n "$vmlinuz" ] || die "$deb holds no boot/vmlinuz-*"
  cp "$vmlinuz" "$kdir/vmlinuz"
  for m in hid hid-generic uhid; do
    f=$(find "$ext" -name "$m.ko*" | head -n 1)
    case $f in
      "") die "$deb holds no $m module (is it built into this kernel?)" ;;
      *.ko) cp "$f" "$kdir/$m.ko" ;;
      *.ko.xz) xz -dc "$f" >"$kdir/$m.ko" || die "cannot decompress $f" ;;
      *.ko.zst) zstd -qdc "$f" >"$kdir/$m.ko" || die "cannot decompress $f" ;;
      *.ko.gz) gzip -dc "$f" >"$kdir/$m.ko" || die "cannot decompress $f" ;;
      *) die "unknown module format: $f" ;;
    esac
  done
  rm -rf "$ext"
  kernel_dir=$kdir
fi
note "kernel: ${kernel_dir##*/kernel-}"

# --------------------------------------------------------------- initramfs --

[ -x "$fw" ] || die "$fw is not built"
[ -x "$simcam" ] || die "$simcam is not built"
# ctest runs the programs as they were last built: a source saved after that
# build is not in them, and a check written against it then fails for no
# fault of the code. Said, not fatal, as file times are only a hint.
src=$(cd "$here/../.." && pwd)
for prog in "$fw" "$simcam"; do
  newer=$(find "$src/cli" "$src/devlib" "$src/firmware" "$src/platform" "$src/sim" \
    "$src/settings" -name '*.cpp' -newer "$prog" -print -o -name '*.h' -newer "$prog" -print \
    2>/dev/null | head -n 3)
  [ -z "$newer" ] || note "warning: ${prog##*/} is older than $(echo $newer): rebuild it" \
    "(cmake --build . --target lumavix-fw lumavix-simcam) before trusting this result"
done
root="$work/root"
rm -rf "$work"; mkdir -p "$root"/{bin,usr/bin,e2e/modules,e2e/expected,e2e/fw,dev,proc,sys,tmp,run}

cp "$(command -v busybox)" "$root/bin/busybox"
for applet in $("$root/bin/busybox" --list); do
  [ -e "$root/bin/$applet" ] || ln -s busybox "$root/bin/$applet"
done
cp "$fw" "$root/usr/bin/lumavix-fw"
cp "$simcam" "$root/usr/bin/lumavix-simcam"
# The programs' shared libraries and loader, at the paths ldd names.
for prog in "$fw" "$simcam"; do
  ldd "$prog" | awk '/=> \// { print $3 } /^[ \t]*\// { print $1 }'
done | sort -u | while read -r lib; do
  mkdir -p "$root$(dirname "$lib")"
  cp -L "$lib" "$root$lib"
done
cp "$kernel_dir"/{hid,hid-generic,uhid}.ko "$root/e2e/modules/"
cp "$here/guest.sh" "$root/init"
chmod 755 "$root/init"

# Expected answers, from the in-process simulated camera with the same
# profile: standard output in expected/NAME, exit status in expected/NAME.rc.
# status and update run, here and in the guest, in the folder of the firmware
# file, a newer version of the camera's own firmware.
sim=("$fw" "--simulate=$profile")
fwdir="$root/e2e/fw"
expected="$root/e2e/expected"
host_state="$work/host.state"
expect() {
  local name=$1 rc
  shift
  (cd "$fwdir" && "$@") >"$expected/$name" 2>"$work/$name.err"
  rc=$?
  echo $rc >"$expected/$name.rc"
  return $rc
}
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

(cd "$root" && find . -print0 | cpio --null -o -H newc --quiet | gzip -1) >"$work/initramfs.gz" ||
  die "cannot pack the initramfs"

# -------------------------------------------------------------------- boot --

# KVM, where it works, only makes the same run faster.
# shellcheck source=qemu_accel.sh
. "$here/qemu_accel.sh"
choose_accel "$kernel_dir/vmlinuz"
note "accelerator: $accel_why"
remaining=$(left)
[ "$remaining" -gt 20 ] || die "no time left to boot the kernel (preparation took $((SECONDS - started)) s)"
note "booting (at most $remaining s)"
boot_start=$SECONDS
timeout --kill-after=5 "$remaining" qemu-system-x86_64 \
  -nodefaults -no-user-config "${accel[@]}" -machine pc -cpu max -smp 1 -m 512 \
  -display none -serial stdio -monitor none -no-reboot \
  -kernel "$kernel_dir/vmlinuz" -initrd "$work/initramfs.gz" \
  -append "console=ttyS0 panic=-1 loglevel=4 rdinit=/init" \
  </dev/null >"$work/console.log" 2>"$work/qemu.err"
qemu_rc=$?
note "guest ran $((SECONDS - boot_start)) s (emulator status $qemu_rc); console in $work/console.log"

tr -d '\r' <"$work/console.log" | grep -E '^(CHECK|TIMING|    \|)' || true
result=$(tr -d '\r' <"$work/console.log" | grep -E '^LUMAVIX-E2E-RESULT: ' | tail -n 1)
case $result in
  "LUMAVIX-E2E-RESULT: PASS"*)
    echo "$result"; exit 0 ;;
  "LUMAVIX-E2E-RESULT: FAIL"*)
    echo "$result"; exit 1 ;;
esac
echo "no result line from the guest; last console lines:"
tr -d '\r' <"$work/console.log" | tail -n 40
cat "$work/qemu.err"
[ $qemu_rc = 124 ] && die "the guest did not finish in time"
die "the guest stopped without a result"
