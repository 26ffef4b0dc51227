# Sourced by the guests' /init scripts (guest.sh, guest_usb.sh): the first
# mounts, the check lines and the comparison with the answers the host made
# with the in-process simulated camera. The last console line,
# "LUMAVIX-E2E-RESULT: PASS|FAIL ...", decides the test. A guest that starts
# a camera server keeps its process id in server_pid, so that finish stops it.
export PATH=/bin:/usr/bin
mount -t devtmpfs devtmpfs /dev
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mkdir -p /tmp /run
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run

E=/e2e
checks=0
failed=0
server_pid=
server_log=/dev/null

ok() { checks=$((checks + 1)); echo "CHECK $1: ok"; }
bad() {
  checks=$((checks + 1)); failed=$((failed + 1))
  echo "CHECK $1: FAIL $2"
}
# Shows a file's head on the console after a failed check.
show() { [ -f "$1" ] && head -n "${2:-15}" "$1" | sed 's/^/    | /'; }

finish() {
  if [ -n "$server_pid" ]; then kill -TERM "$server_pid" 2>/dev/null; wait "$server_pid"; fi
  if [ "$failed" -eq 0 ] && [ "$checks" -gt 0 ]; then
    echo "LUMAVIX-E2E-RESULT: PASS $checks checks"
  else
    echo "LUMAVIX-E2E-RESULT: FAIL $failed of $checks checks"
  fi
  sync
  poweroff -f
  # Reached only when power-off is not possible: the kernel then panics and,
  # with panic=-1 and -no-reboot, the emulator exits.
  exit 1
}

# Centiseconds since boot.
now_cs() { awk '{ split($1, t, "."); print t[1] * 100 + t[2] }' /proc/uptime; }

# The hidraw node of the simulated camera (VID and PID from the config), or
# nothing.
camera_node() {
  for u in /sys/class/hidraw/hidraw*/device/uevent; do
    [ -f "$u" ] || continue
    if grep -qi "^HID_ID=0003:0000$VID:0000$PID\$" "$u"; then
      d=${u%/device/uevent}
      echo "/dev/${d##*/}"
      return 0
    fi
  done
  return 1
}

# Waits up to 2 s for the camera's hidraw node to go away.
node_gone() {
  i=0
  while camera_node >/dev/null; do
    [ $i -ge 20 ] && return 1
    sleep 0.1; i=$((i + 1))
  done
  return 0
}

# Transfers served so far, from the counters the camera server (server_pid)
# prints into server_log on SIGUSR1.
transfers() {
  before=$(grep -c 'transfers' "$server_log")
  kill -USR1 "$server_pid"
  i=0
  while [ $i -lt 50 ] && [ "$(grep -c 'transfers' "$server_log")" -le "$before" ]; do
    sleep 0.02; i=$((i + 1))
  done
  grep 'transfers' "$server_log" | tail -n 1 | sed 's/.*transfers \([0-9]*\).*/\1/'
}

# Runs lumavix-fw with ARGS and compares its exit status and standard output
# with $E/expected/NAME.rc and $E/expected/NAME; device paths (/sim/hidrawN
# in-process, /dev/hidrawN here) are not compared.
same_as_in_process() {
  name=$1; shift
  lumavix-fw "$@" >/tmp/$name.out 2>/tmp/$name.err
  compare "$name" $?
}

compare() {
  name=$1 rc=$2
  want_rc=$(cat $E/expected/$name.rc)
  sed 's#/\(sim\|dev\)/hidraw[0-9]*#HIDRAW#g' /tmp/$name.out >/tmp/$name.got
  sed 's#/\(sim\|dev\)/hidraw[0-9]*#HIDRAW#g' $E/expected/$name >/tmp/$name.want
  if [ "$rc" != "$want_rc" ]; then
    bad "$name" "exit status $rc, in-process $want_rc"
    show /tmp/$name.err
  elif cmp -s /tmp/$name.got /tmp/$name.want; then
    ok "$name"
  else
    bad "$name" "answers differ from the in-process simulated camera"
    echo "    got:"; show /tmp/$name.out 5
    echo "    expected:"; show $E/expected/$name 5
  fi
}
