#!/bin/sh
# Runs inside the test machine's initramfs as its first process: serves the
# simulated camera through uhid with lumavix-simcam and drives it with the
# Windows lumavix-fw.exe under Wine, which finds the kernel's hidraw node on
# its own (its bus driver enumerates sysfs; no udev daemon runs) and hands it
# to the program through its HID class driver. Wine and the program come from
# the host's root, mounted read-only over 9p; the root Wine runs in is that
# tree with this machine's /dev, /proc, /sys and /tmp, and its prefix a
# writable overlay on the host's. Expected outputs were made on the host with
# the in-process simulated camera. The last console line,
# "LUMAVIX-E2E-RESULT: PASS|FAIL ...", decides the test.
. /e2e/guest_common.sh
server_log=/tmp/simcam.log
. $E/config.sh

# The host's folder for this run's logs (run_e2e_wine.sh's work folder):
# every log of the run is copied there at the end, whatever the result.
end() {
  cp /tmp/*.log /tmp/*.out /tmp/*.err /logs/ 2>/dev/null
  finish
}

while read -r m; do
  insmod $E/modules/$m.ko || echo "insmod $m failed"
done <$E/modules/order
mkdir -p /logs
mount -t 9p -o trans=virtio,version=9p2000.L logs /logs 2>/dev/null
if [ -c /dev/uhid ]; then ok uhid-device; else bad uhid-device "/dev/uhid is missing"; end; fi

# ----------------------------------------------------------- Wine's root --

R=/host
if ! mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=262144 host $R; then
  bad host-root "cannot mount the host's root over 9p"
  end
fi
mkdir -p /tmp/fw /tmp/prefix /tmp/.prefix/upper /tmp/.prefix/work
cp $E/fw/* /tmp/fw/
# The registry the host prepared (Wine's HID bus set for this machine) over
# the prefix's own.
cp $E/prefix/*.reg /tmp/.prefix/upper/
if ! mount -t overlay overlay \
    -o "lowerdir=$R$WINE_PREFIX,upperdir=/tmp/.prefix/upper,workdir=/tmp/.prefix/work" /tmp/prefix; then
  bad wine-prefix "cannot lay a writable overlay on the host's prefix $WINE_PREFIX"
  end
fi
# Wine runs only in a prefix of its own user's.
chown 0:0 /tmp/prefix
# The same /tmp on both sides, with the prefix mounted in it: the files the
# Windows program writes are read here, and its working folder holds the
# firmware file.
mount -o bind /dev $R/dev && mount -t proc proc $R/proc && mount -t sysfs sysfs $R/sys &&
  mount -o rbind /tmp $R/tmp && mount -t tmpfs tmpfs $R/run && mount -t tmpfs tmpfs $R/root ||
  { bad host-root "cannot mount the guest's file systems into the host's root"; end; }
ok host-root
cd /tmp/fw

# in_wine COMMAND... runs a program of the host's root under Wine's
# environment, in /tmp/fw.
in_wine() {
  chroot $R /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root USER=root \
    WINEPREFIX=/tmp/prefix WINEDEBUG=${wine_debug:--all} WINEDLLOVERRIDES="mscoree,mshtml=" \
    /bin/sh -c 'cd /tmp/fw && exec "$@"' sh "$@"
}
# fw_exe ARGS... runs the Windows program.
fw_exe() { in_wine "$WINE" "$FW_EXE" "$@"; }

# ------------------------------------------------------------------ camera --

if start_simcam; then
  ok simcam-start
  echo "e2e: the camera's hidraw node is $node"
else
  bad simcam-start "no hidraw node for $VID:$PID appeared"
  show /tmp/simcam.log
  end
fi

# Wine's services, its device manager with the bus driver among them, start
# with the session: the camera is there already and is found by the bus
# driver's first look at sysfs.
t0=$(now_cs)
wine_debug=$WINEDEBUG in_wine setsid "$WINESERVER" -p </dev/null >/dev/null 2>&1
wine_debug=$WINEDEBUG in_wine wineboot </dev/null >/tmp/wineboot.log 2>&1
echo "TIMING: Wine's session started in $(awk -v t="$(($(now_cs) - t0))" 'BEGIN { printf "%.2f", t / 100 }') s"

# The device manager may still be adding the camera when wineboot returns.
i=0
while :; do
  fw_exe list >/tmp/list.out 2>/tmp/list.err && grep -qi 'VID_2A9C&PID_0E51\|2a9c' /tmp/list.out && break
  i=$((i + 1))
  [ $i -ge 6 ] && break
  sleep 1
done
if [ $i -lt 6 ]; then
  ok list
  echo "e2e: lumavix-fw.exe list, through $node:"
  show /tmp/list.out 5
else
  bad list "lumavix-fw.exe list did not show the camera (served at $node)"
  show /tmp/list.out; show /tmp/list.err
  grep -aiE 'udev|hidraw|bus_main|2a9c|unable|err:|feature|report len' /tmp/wineboot.log >/tmp/wineboot.grep
  show /tmp/wineboot.grep 200
  end
fi

fw_exe status >/tmp/status.out 2>/tmp/status.err
compare status $?

# One feature set+get pair through Wine's stack against the Linux program on
# the same node, before the update changes what is read.
time_pairs "lumavix-fw.exe: " flash-read "$PAIR_READ" fw_exe
wine_us=$pair_us
compare flash-read $read_rc
time_pairs "lumavix-fw: " flash-read-linux "$PAIR_READ" lumavix-fw
linux_us=$pair_us
compare flash-read-linux $read_rc
if [ -n "$wine_us" ] && [ -n "$linux_us" ] && [ "$linux_us" -gt 0 ]; then
  awk -v w="$wine_us" -v l="$linux_us" -v n="$node" 'BEGIN {
    printf "TIMING: feature-report pair on %s: %d us through Wine, %d us native, ratio %.2f (goal 1.5)\n", n, w, l, w / l
  }'
else
  echo "TIMING: no pair figure (Wine ${wine_us:-none} us, native ${linux_us:-none} us)"
fi

c0=$(transfers); t0=$(now_cs)
fw_exe update --yes update.bin >/tmp/update.out 2>/tmp/update.err
compare update $?
t1=$(now_cs); c1=$(transfers)
awk -v c="$((c1 - c0))" -v t="$((t1 - t0))" \
  'BEGIN { printf "TIMING: lumavix-fw.exe update: %d transfers in %.2f s\n", c, t / 100 }'
fw_exe status >/tmp/status-after-update.out 2>/tmp/status-after-update.err
compare status-after-update $?
check_dump dump-matches-image fw_exe

in_wine "$WINESERVER" -k >/dev/null 2>&1
if grep -q 'violations 0,' /tmp/simcam.log; then
  ok no-violations
else
  bad no-violations "the camera saw frames that break the protocol"
  show /tmp/simcam.log 30
fi
end
