#!/bin/sh
# Runs inside the test machine's initramfs as its first process: loads
# dummy_hcd, gadgetfs and the HID and video drivers, presents the simulated
# camera as a USB device with lumavix-gadgetcam and updates it with
# lumavix-fw through the hidraw node usbhid makes for it; then presents it as
# a video-class camera, bound by uvcvideo, and updates it through its
# extension unit (the raw route over usbfs), as on a real machine. Expected outputs were
# made on the host with the in-process simulated camera. The last console
# line, "LUMAVIX-E2E-RESULT: PASS|FAIL ...", decides the test.
. /e2e/guest_common.sh
server_log=/tmp/gadgetcam.log
. $E/config.sh
# status and update look for the firmware file in the working directory.
cd $E/fw

while read -r m; do
  insmod $E/modules/$m.ko || echo "insmod $m failed"
done <$E/modules/order
udc=$(ls /sys/class/udc 2>/dev/null | head -n 1)
if [ -n "$udc" ]; then ok device-controller; else bad device-controller "no UDC in /sys/class/udc"; finish; fi
mkdir -p /dev/gadget
# gadgetfs names its controller file after the controller (dummy_udc).
if mount -t gadgetfs gadgetfs /dev/gadget && [ -n "$(ls /dev/gadget)" ]; then
  ok gadgetfs
else
  bad gadgetfs "gadgetfs shows no controller file in /dev/gadget"
  finish
fi

# Starts lumavix-gadgetcam and waits for the kernel to enumerate the device
# and make its hidraw node (some seconds under emulation).
start_gadgetcam() {
  lumavix-gadgetcam --sim-state /tmp/cam.state --gadget-dir /dev/gadget "$PROFILE" \
    2>>"$server_log" &
  server_pid=$!
  wait_for_node 300
}

stop_gadgetcam() { stop_server; }

t0=$(now_cs)
if start_gadgetcam; then
  ok gadget-enumerated
  echo "TIMING: enumeration to hidraw node: $(awk -v t="$(($(now_cs) - t0))" 'BEGIN { printf "%.2f", t / 100 }') s"
else
  bad gadget-enumerated "no hidraw node for $VID:$PID appeared"
  show "$server_log"
  dmesg | tail -n 20 | sed 's/^/    | /'
  finish
fi

# Which kernel driver holds each interface of the USB devices, from sysfs.
hid_driver=
for i in /sys/bus/usb/devices/*:*; do
  [ -e "$i" ] || continue
  name=${i##*/}
  drv=none
  [ -L "$i/driver" ] && drv=$(basename "$(readlink "$i/driver")")
  echo "e2e: interface $name driver $drv"
  [ "$name" = 1-1:1.0 ] && hid_driver=$drv
done
vendor=$(cat /sys/bus/usb/devices/1-1/idVendor 2>/dev/null)
product=$(cat /sys/bus/usb/devices/1-1/idProduct 2>/dev/null)
if [ "$hid_driver" = usbhid ] && [ "$vendor:$product" = "$(echo "$VID:$PID" | tr A-F a-f)" ]; then
  ok usbhid-bound
else
  bad usbhid-bound "device 1-1 is $vendor:$product with interface 1.0 on driver '${hid_driver:-none}'"
fi

if lumavix-fw list >/tmp/list.out 2>/tmp/list.err && grep -q "$node" /tmp/list.out; then
  ok list
else
  bad list "lumavix-fw list did not show $node"
  show /tmp/list.out; show /tmp/list.err
fi
same_as_in_process status status

c0=$(transfers); t0=$(now_cs)
same_as_in_process update update --yes update.bin
t1=$(now_cs); c1=$(transfers)
awk -v c="$((c1 - c0))" -v t="$((t1 - t0))" 'BEGIN {
  per = 0; if (c > 0) per = t * 10000 / c
  printf "TIMING: update over usbhid: %d transfers in %.2f s, %.0f us per transfer\n", c, t / 100, per
}'
same_as_in_process status-after-update status

# The dump is a firmware file: the flash's CRC-32 in 4 bytes, then the flash.
# Its flash bytes must be the image's, after the image file's own 4 bytes.
t0=$(now_cs)
if lumavix-fw dump -o /tmp/dump.bin >/tmp/dump.out 2>/tmp/dump.err; then
  t1=$(now_cs)
  dd if=/tmp/dump.bin of=/tmp/dump.flash bs=4 skip=1 2>/dev/null
  dd if=update.bin of=/tmp/image.flash bs=4 skip=1 2>/dev/null
  if [ -s /tmp/dump.flash ] && cmp -s /tmp/dump.flash /tmp/image.flash; then
    ok dump-matches-image
  else
    bad dump-matches-image "the flash read back differs from the image ($(cmp /tmp/dump.flash /tmp/image.flash 2>&1 | head -n 1))"
  fi
  awk -v n="$(wc -c </tmp/dump.flash)" -v t="$((t1 - t0))" \
    'BEGIN { printf "TIMING: dump of %d bytes in %.2f s\n", n, t / 100 }'
else
  bad dump-matches-image "lumavix-fw dump failed"
  show /tmp/dump.err
fi

# One set+get pair through the library against bare ioctls, same node.
if lumavix-gadgetcam --time-pairs "$node" --pairs 10 --rounds 90 >/tmp/pairs.out 2>/tmp/pairs.err; then
  ok pair-timing
  grep '^TIMING' /tmp/pairs.out
else
  bad pair-timing "the timing run failed"
  show /tmp/pairs.err
fi

# Stopping takes the device off the bus and saves the camera's memories.
if stop_gadgetcam; then ok gadgetcam-stop; else bad gadgetcam-stop "lumavix-gadgetcam exited with $rc"; fi
if node_gone; then ok device-gone; else bad device-gone "the hidraw node is still there"; fi
if [ -s /tmp/cam.state ]; then ok state-saved; else bad state-saved "no state file"; fi
server_clean() {
  if grep -q 'violations 0,' "$server_log" && grep -q 'lost set reports 0,' "$server_log"; then
    ok "$1"
  else
    bad "$1" "the camera saw frames that break the protocol, or lost some"
    show "$server_log" 30
  fi
}
server_clean no-violations
echo "--- lumavix-gadgetcam log"
sed 's/^/    | /' "$server_log"

# ------------------------------------------------- video-class camera --

# The video node uvcvideo made for the camera's video-control interface.
video_node() {
  for v in /sys/class/video4linux/video*; do
    [ -e "$v/device" ] || continue
    case $(readlink -f "$v/device") in
      */1-1:1.0)
        echo "/dev/${v##*/}"
        return 0 ;;
    esac
  done
  return 1
}

wait_video_node() {
  i=0
  while [ $i -lt "$1" ]; do
    vnode=$(video_node) && [ -c "$vnode" ] && return 0
    sleep 0.1
    i=$((i + 1))
  done
  return 1
}

server_log=/tmp/gadgetcam-uvc.log
lumavix-gadgetcam --sim-state /tmp/uvc.state --gadget-dir /dev/gadget "$UVC_PROFILE" \
  2>>"$server_log" &
server_pid=$!
if wait_video_node 300; then
  ok uvc-enumerated
else
  bad uvc-enumerated "no video node for the camera's video-control interface appeared"
  show "$server_log"
  dmesg | tail -n 20 | sed 's/^/    | /'
  finish
fi
vc_driver= vs_driver=
for i in /sys/bus/usb/devices/*:*; do
  [ -e "$i" ] || continue
  name=${i##*/}
  drv=none
  [ -L "$i/driver" ] && drv=$(basename "$(readlink "$i/driver")")
  echo "e2e: interface $name driver $drv"
  [ "$name" = 1-1:1.0 ] && vc_driver=$drv
  [ "$name" = 1-1:1.1 ] && vs_driver=$drv
done
if [ "$vc_driver" = uvcvideo ] && [ "$vs_driver" = uvcvideo ]; then
  ok uvcvideo-bound
else
  bad uvcvideo-bound "interfaces 1.0 and 1.1 on '${vc_driver:-none}' and '${vs_driver:-none}'"
fi

if lumavix-fw list >/tmp/uvc-list.out 2>/tmp/uvc-list.err && grep -q 'usb-1-1:1.0' /tmp/uvc-list.out; then
  ok uvc-list
else
  bad uvc-list "lumavix-fw list did not show usb-1-1:1.0"
  show /tmp/uvc-list.out; show /tmp/uvc-list.err
fi
same_as_in_process uvc-status status
c0=$(transfers); t0=$(now_cs)
same_as_in_process uvc-update update --yes update.bin
t1=$(now_cs); c1=$(transfers)
awk -v c="$((c1 - c0))" -v t="$((t1 - t0))" 'BEGIN {
  per = 0; if (c > 0) per = t * 10000 / c
  printf "TIMING: update over usbfs (raw route): %d transfers in %.2f s, %.0f us per transfer\n", c, t / 100, per
}'
# The raw route takes the interface from uvcvideo and gives it back: the
# video node is there again when the update has ended.
if wait_video_node 50; then
  ok uvc-driver-back
else
  bad uvc-driver-back "no video node after the update"
  for i in /sys/bus/usb/devices/1-1:*; do
    echo "    | ${i##*/}: $(basename "$(readlink "$i/driver" 2>/dev/null)" 2>/dev/null)"
  done
fi
same_as_in_process uvc-status-after-update status
if lumavix-fw dump -o /tmp/uvc-dump.bin >/tmp/uvc-dump.out 2>/tmp/uvc-dump.err; then
  dd if=/tmp/uvc-dump.bin of=/tmp/uvc-dump.flash bs=4 skip=1 2>/dev/null
  if [ -s /tmp/uvc-dump.flash ] && cmp -s /tmp/uvc-dump.flash /tmp/image.flash; then
    ok uvc-dump-matches-image
  else
    bad uvc-dump-matches-image "the flash read back differs from the image"
  fi
else
  bad uvc-dump-matches-image "lumavix-fw dump failed"
  show /tmp/uvc-dump.err
fi
for i in /sys/bus/usb/devices/1-1:*; do
  drv=none
  [ -L "$i/driver" ] && drv=$(basename "$(readlink "$i/driver")")
  echo "e2e: after the update, interface ${i##*/} driver $drv"
done
if stop_gadgetcam; then ok uvc-gadgetcam-stop; else bad uvc-gadgetcam-stop "lumavix-gadgetcam exited with $rc"; fi
server_clean uvc-no-violations
echo "--- lumavix-gadgetcam log (video class)"
sed 's/^/    | /' "$server_log"
finish
