#!/bin/sh
# Runs inside the test machine's initramfs as its first process: loads the HID
# modules, serves the simulated camera through uhid with lumavix-simcam and
# drives it with lumavix-fw over hidraw, as on a real machine. Expected
# outputs were made on the host with the in-process simulated camera; every
# answer through the kernel must be the same. The last console line,
# "LUMAVIX-E2E-RESULT: PASS|FAIL ...", decides the test.
. /e2e/guest_common.sh
server_log=/tmp/simcam.log

. $E/config.sh
# status and update look for the firmware file in the working directory.
cd $E/fw

for m in hid hid-generic uhid; do
  insmod $E/modules/$m.ko || echo "insmod $m failed"
done
if [ -c /dev/uhid ]; then ok uhid-device; else bad uhid-device "/dev/uhid is missing"; finish; fi

if start_simcam; then
  ok simcam-start
else
  bad simcam-start "no hidraw node for $VID:$PID appeared"
  show /tmp/simcam.log
  finish
fi

# The library finds the camera through udev's view of sysfs, with no udev
# daemon running, as on a minimal system.
if lumavix-fw list >/tmp/list.out 2>/tmp/list.err && grep -q "$node" /tmp/list.out; then
  ok list
else
  bad list "lumavix-fw list did not show $node"
  show /tmp/list.out; show /tmp/list.err
fi

# The doctor finds the camera usable as root. For another user, a node only
# root may open is explained as a permission problem, and commands that
# cannot open the camera point to the doctor.
lumavix-fw doctor >/tmp/doctor.out 2>&1
rc=$?
if [ $rc = 0 ] && grep -q "$node" /tmp/doctor.out; then
  ok doctor
else
  bad doctor "exit status $rc, expected 0 and $node in the report"
  show /tmp/doctor.out
fi
mkdir -p /etc
[ -f /etc/passwd ] || printf 'root:x:0:0::/:/bin/sh\nnobody:x:65534:65534::/:/bin/sh\n' >/etc/passwd
[ -f /etc/group ] || printf 'root:x:0:\nnogroup:x:65534:\n' >/etc/group
chown 0:0 "$node"
chmod 0600 "$node"
su -s /bin/sh nobody -c "lumavix-fw doctor" >/tmp/doctor-user.out 2>&1
rc=$?
if [ $rc = 1 ] && grep -qi "permission denied" /tmp/doctor-user.out &&
    grep -q "uaccess" /tmp/doctor-user.out; then
  ok doctor-permission
else
  bad doctor-permission "exit status $rc, expected 1 with the permission problem and the rule"
  show /tmp/doctor-user.out 30
fi
su -s /bin/sh nobody -c "lumavix-fw list" >/tmp/list-user.out 2>&1
rc=$?
if [ $rc = 3 ] && grep -q "lumavix-fw doctor" /tmp/list-user.out; then
  ok permission-hint
else
  bad permission-hint "exit status $rc, expected 3 and a pointer to the doctor"
  show /tmp/list-user.out
fi

same_as_in_process reg-read reg read 0 4
same_as_in_process flash-id flash id
[ "$HAVE_STATUS" = 1 ] && same_as_in_process status status

# Timing: a 64 KiB read against a 32-byte one, so that start-up costs cancel.
c0=$(transfers); t0=$(now_cs)
lumavix-fw flash read 0 0x10000 >/tmp/flash-read.out 2>/tmp/flash-read.err
read_rc=$?
t1=$(now_cs); c1=$(transfers)
compare flash-read $read_rc
lumavix-fw flash read 0 0x20 >/dev/null 2>&1
t2=$(now_cs); c2=$(transfers)
awk -v c0="$c0" -v c1="$c1" -v c2="$c2" -v t0="$t0" -v t1="$t1" -v t2="$t2" 'BEGIN {
  big = c1 - c0; small = c2 - c1; pairs = (big - small) / 2
  if (pairs > 0)
    printf "TIMING: flash read 0x10000: %d transfers in %.2f s; 0x20: %d transfers in %.2f s; %.0f us per feature-report pair\n",
      big, (t1 - t0) / 100, small, (t2 - t1) / 100, ((t1 - t0) - (t2 - t1)) * 10000 / pairs
}'

if [ "$HAVE_UPDATE" = 1 ]; then
  c0=$(transfers); t0=$(now_cs)
  same_as_in_process update update --yes update.bin
  t1=$(now_cs); c1=$(transfers)
  awk -v c="$((c1 - c0))" -v t="$((t1 - t0))" \
    'BEGIN { printf "TIMING: update: %d transfers in %.2f s\n", c, t / 100 }'
  [ "$HAVE_STATUS" = 1 ] && same_as_in_process status-after-update status
  same_as_in_process flash-after-update flash read 0 0x20000
fi

# Stopping removes the device and saves the camera's memories.
if stop_simcam; then ok simcam-stop; else bad simcam-stop "lumavix-simcam exited with $rc"; fi
if node_gone; then ok simcam-destroy; else bad simcam-destroy "the hidraw node is still there"; fi
if [ -s /tmp/cam.state ]; then ok state-saved; else bad state-saved "no state file"; fi
if grep -q 'violations 0,' /tmp/simcam.log; then
  ok no-violations
else
  bad no-violations "the camera saw frames that break the protocol"
  show /tmp/simcam.log 30
fi

# A camera started again from the saved state carries what was written.
if start_simcam; then
  ok simcam-restart
  if [ "$HAVE_UPDATE" = 1 ]; then
    same_as_in_process flash-after-restart flash read 0 0x20000
  else
    same_as_in_process flash-after-restart flash read 0 0x10000
  fi
else
  bad simcam-restart "no hidraw node after restarting from the state file"
  show /tmp/simcam.log
fi

# A camera that drops off the bus in the middle of a read: the command fails
# and the node goes away.
stop_simcam
if start_simcam "$PROFILE,unplug-after=40"; then
  if lumavix-fw flash read 0 0x1000 >/tmp/unplug.out 2>/tmp/unplug.err; then
    bad unplug "the read succeeded although the camera left after 40 transfers"
  elif ! node_gone; then
    # The camera's count tells a read that gave up before the 41st transfer
    # from a camera that refused it but was never taken off the bus.
    n=$(transfers)
    if [ "${n:-0}" -gt 40 ]; then
      bad unplug "the hidraw node stayed after the camera was unplugged (it refused transfer 41; lumavix-simcam did not remove the device)"
    else
      bad unplug "the hidraw node stayed: the read failed after ${n:-no} transfers, before the camera left"
    fi
  else
    ok unplug
  fi
  show /tmp/unplug.err 3
else
  bad unplug "lumavix-simcam did not start"
fi

echo "--- lumavix-simcam log"
sed 's/^/    | /' /tmp/simcam.log
finish
