#!/usr/bin/env bash
# End-to-end test of the Windows program through Wine's HID stack: boots
# Debian's kernel under QEMU with a busybox initramfs; lumavix-simcam serves
# the simulated camera through uhid as in run_e2e.sh, and lumavix-fw.exe runs
# under Wine in the guest, from the host's root shared read-only over 9p, and
# reaches the camera's hidraw node through Wine's bus driver and HID class
# driver (tests/e2e/guest_wine.sh). The Linux lumavix-fw on the same node is
# the yardstick for the cost of one feature-report pair.
#
# Exits 0 on a pass, 1 on a failure and 77 (a visible skip) when QEMU, Wine
# or the kernel package cannot be had. The Wine prefix the guest starts from
# is the Windows tests' (made on the host: that is the longest part of Wine's
# first start), copied on write in the guest.
#
# usage: run_e2e_wine.sh --fw-exe PATH --fw PATH --simcam PATH --prefix DIR
#                        --cache DIR --work DIR
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
usage="usage: $0 --fw-exe PATH --fw PATH --simcam PATH --prefix DIR --cache DIR --work DIR"
fw_exe= fw= simcam= prefix= cache= work=
while [ $# -gt 0 ]; do
  case $1 in
    --fw-exe) fw_exe=$2; shift 2 ;;
    --fw) fw=$2; shift 2 ;;
    --simcam) simcam=$2; shift 2 ;;
    --prefix) prefix=$2; shift 2 ;;
    --cache) cache=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done
for v in "$fw_exe" "$fw" "$simcam" "$prefix" "$cache" "$work"; do
  [ -n "$v" ] || { echo "$usage" >&2; exit 2; }
done
# The Linux programs come from another build tree, which may not have been
# made: a skip that names it, not a failure of this build.
[ -f "$fw_exe" ] || { echo "FAIL: $fw_exe is not built"; exit 1; }
for p in "$fw" "$simcam"; do
  [ -f "$p" ] || { echo "SKIP: no Linux build: $p is absent (./test.sh makes build/default)"; exit 77; }
done
cache=${LUMAVIX_E2E_CACHE:-$cache}
mkdir -p "$cache" "$work" "$prefix" || exit 1
fw_exe=$(realpath "$fw_exe") fw=$(realpath "$fw") simcam=$(realpath "$simcam")
prefix=$(realpath "$prefix") cache=$(realpath "$cache") work=$(realpath "$work")

# Whole-test budget in seconds; the guest gets what is left of it. ctest
# stops the test at 330 s.
budget=${LUMAVIX_E2E_BUDGET:-290}
profile="q,latency-us=0"
# uhid for the camera; virtio's PCI transport, 9p over it and overlayfs for
# the host's root and a writable Wine prefix.
modules=(hid hid-generic uhid virtio_pci 9pnet_virtio 9p overlay)
# Wine's services start in parallel under software emulation.
e2e_cpus=2 e2e_memory=2048

# shellcheck source=e2e_common.sh
. "$here/e2e_common.sh"

for t in wine wineboot wineserver; do
  command -v $t >/dev/null 2>&1 || skip "Wine cannot be had: no $t program"
done
e2e_need_tools
e2e_fetch_kernel "$cache" "${modules[@]}"
note "kernel: ${kernel_dir##*/kernel-}"

e2e_warn_stale "$fw_exe" "$fw" "$simcam"

# ------------------------------------------------------------------ prefix --

# The Windows tests' prefix (test-windows.sh makes it); made here when
# missing, which takes minutes and is not taken from the budget. Only read
# here: the guest writes into an overlay of its own.
make_prefix() {
  local waited=$SECONDS
  exec 8>"$prefix.e2e-lock"
  flock -w 300 8 || die "the Wine prefix $prefix stayed locked"
  if [ ! -f "$prefix/system.reg" ]; then
    note "making the Wine prefix $prefix"
    WINEPREFIX=$prefix WINEDEBUG=-all DISPLAY= timeout 300 wineboot -i </dev/null \
      >"$work/wineboot.log" 2>&1 ||
      { tail -n 5 "$work/wineboot.log"; skip "Wine cannot be had: wineboot could not make a prefix"; }
    WINEPREFIX=$prefix timeout 60 wineserver -k 2>/dev/null
  fi
  exec 8>&-
  started=$((started + SECONDS - waited))
}
make_prefix

# --------------------------------------------------------------- initramfs --

e2e_make_root "$work" "$fw" "$simcam"
e2e_add_modules "${modules[@]}"
# Without their debugging sections the programs unpack in half the time.
strip "$root"/usr/bin/* 2>/dev/null
mkdir -p "$root/host" "$root/e2e/prefix"
cp "$here/guest_wine.sh" "$root/init"
chmod 755 "$root/init"

# Expected answers from the in-process simulated camera with the same
# profile; the guest compares both programs' answers with them.
# The read that times a pair: 256 set+get pairs more than the 32-byte one.
pair_read=0x2000
expect flash-read "$fw" "--simulate=$profile" flash read 0 $pair_read || die "in-process flash read failed"
cp "$expected/flash-read" "$expected/flash-read-linux"
cp "$expected/flash-read.rc" "$expected/flash-read-linux.rc"
# A 16 KiB image: every request through Wine costs milliseconds under
# software emulation, and the whole image path (erase, write, verify, the
# boot block) is the same as for a full one.
e2e_expect_update "$fw" "$profile" 16384

# The prefix's registry, taken now (a Wine session of the Windows tests may
# be saving it; Wine writes each file whole and renames it into place), goes
# into the guest's overlay above the prefix, with Wine's HID bus set for a
# machine without a udev daemon:
# - "Enable SDL"=0: the bus's udev half, the one that serves hidraw nodes, is
#   started only when SDL's is not; with SDL enabled but its library absent
#   neither serves anything, and no HID device but Wine's own mouse and
#   keyboard is ever listed.
# - "DisableUdevd"=1: the hidraw nodes are found by reading /dev (and
#   watching it) instead of asking udev's daemon, which does not run here.
for f in system.reg user.reg userdef.reg; do
  cp "$prefix/$f" "$root/e2e/prefix/$f" || die "the Wine prefix $prefix has no $f"
done
awk -v section='[System\\\\CurrentControlSet\\\\Services\\\\winebus]' '
  function options() {
    print "\"DisableUdevd\"=dword:00000001"
    print "\"Enable SDL\"=dword:00000000"
    pending = 0; done = 1
  }
  pending && !/^#time=/ { options() }
  /^\[/ { in_section = index($0, section " ") == 1 || $0 == section; pending = in_section }
  in_section && /^"(DisableUdevd|Enable SDL)"=/ { next }
  { print }
  END { if (pending) options(); if (!done) exit 1 }
' "$prefix/system.reg" >"$root/e2e/prefix/system.reg" ||
  die "the Wine prefix $prefix has no winebus service in system.reg"

cat >"$root/e2e/config.sh" <<CONFIG
PROFILE='$profile'
PAIR_READ=$pair_read
VID=2A9C
PID=0E51
FW_EXE='$fw_exe'
WINE_PREFIX='$prefix'
WINE='$(command -v wine)'
WINESERVER='$(command -v wineserver)'
WINEDEBUG='${LUMAVIX_E2E_WINEDEBUG:--all}'
CONFIG

e2e_pack_initramfs
# QEMU 7.2's software CPU faults Wine's return from its system calls (an
# iretq to user mode taken for a supervisor access) when the guest kernel
# turns on SMAP: the model's CPU without it.
mkdir -p "$work/guest-logs"
e2e_boot -cpu max,-smap \
  -virtfs "local,path=/,mount_tag=host,security_model=none,multidevs=remap,readonly=on" \
  -virtfs "local,path=$work/guest-logs,mount_tag=logs,security_model=none"
