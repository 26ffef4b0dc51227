#!/usr/bin/env bash
# End-to-end test through a real USB stack: boots Debian's kernel under QEMU
# with dummy_hcd (a device controller wired to a host controller inside the
# same kernel) and gadgetfs; lumavix-gadgetcam presents the simulated camera
# as a USB device on that bus, the kernel enumerates it and binds usbhid to
# its HID interface, and lumavix-fw updates it through hidraw; then the same
# as a video-class camera bound by uvcvideo, updated through its extension
# unit over usbfs (tests/e2e/guest_usb.sh). The guest's console result line
# decides.
#
# Exits 0 on a pass, 1 on a failure and 77 (a visible skip) when QEMU, busybox
# or the kernel package cannot be had (see e2e_common.sh).
#
# usage: run_e2e_usb.sh --fw PATH --gadgetcam PATH --cache DIR --work DIR
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
fw= gadgetcam= cache= work=
usage() { echo "usage: $0 --fw PATH --gadgetcam PATH --cache DIR --work DIR" >&2; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --fw) fw=$2; shift 2 ;;
    --gadgetcam) gadgetcam=$2; shift 2 ;;
    --cache) cache=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    *) usage ;;
  esac
done
if [ -z "$fw" ] || [ -z "$gadgetcam" ] || [ -z "$cache" ] || [ -z "$work" ]; then usage; fi
cache=${LUMAVIX_E2E_CACHE:-$cache}
mkdir -p "$cache" "$work" || exit 1
fw=$(realpath "$fw") gadgetcam=$(realpath "$gadgetcam") cache=$(realpath "$cache") work=$(realpath "$work")

# Whole-test budget in seconds; the guest gets what is left of it. ctest
# stops the test at 240 s.
budget=${LUMAVIX_E2E_BUDGET:-225}
profile="q,latency-us=0"
uvc_profile="uvc-kavex,latency-us=0"
# The device controller, gadgetfs and the host side's HID and video drivers;
# the modules they need (usbcore, udc-core, videodev, ...) come along.
modules=(dummy_hcd gadgetfs hid hid-generic usbhid uvcvideo)

# shellcheck source=e2e_common.sh
. "$here/e2e_common.sh"

e2e_need_tools
e2e_fetch_kernel "$cache" "${modules[@]}"
note "kernel: ${kernel_dir##*/kernel-}"

[ -x "$fw" ] || die "$fw is not built"
[ -x "$gadgetcam" ] || die "$gadgetcam is not built"
e2e_warn_stale "$fw" "$gadgetcam"
e2e_make_root "$work" "$fw" "$gadgetcam"
e2e_add_modules "${modules[@]}"
note "modules: $(tr '\n' ' ' <"$root/e2e/modules/order")"
cp "$here/guest_usb.sh" "$root/init"
chmod 755 "$root/init"

# Expected answers from the in-process simulated camera with the same
# profile. The update is a newer version of the camera's own firmware, in the
# folder where status and update look for it.
sim=("$fw" "--simulate=$profile")
host_state="$work/host.state"
"$fw" make-firmware --version 0105 --product-id 0E51 -o "$fwdir/update.bin" >/dev/null ||
  die "make-firmware failed"
expect status "${sim[@]}" status
note "in-process status: exit $(cat "$expected/status.rc")"
expect update "${sim[@]}" --sim-state "$host_state" update --yes update.bin ||
  { cat "$expected/update" "$work/update.err"; die "in-process update failed"; }
expect status-after-update "${sim[@]}" --sim-state "$host_state" status
note "in-process status after the update: exit $(cat "$expected/status-after-update.rc")"
# The same for the camera reached through its extension unit.
uvc=("$fw" "--simulate=$uvc_profile")
expect uvc-status "${uvc[@]}" status
expect uvc-update "${uvc[@]}" --sim-state "$work/uvc.state" update --yes update.bin ||
  { cat "$expected/uvc-update" "$work/uvc-update.err"; die "in-process update of $uvc_profile failed"; }
expect uvc-status-after-update "${uvc[@]}" --sim-state "$work/uvc.state" status

cat >"$root/e2e/config.sh" <<CONFIG
PROFILE='$profile'
UVC_PROFILE='$uvc_profile'
VID=2A9C
PID=0E51
CONFIG

e2e_pack_initramfs
e2e_boot
