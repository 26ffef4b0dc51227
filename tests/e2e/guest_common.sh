# Sourced by the guests' /init scripts (guest.sh, guest_usb.sh,
# guest_wine.sh): the first mounts, the check lines, the comparison with the
# answers the host made with the in-process simulated camera, and starting
# and stopping lumavix-simcam. The last console line,
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
# in-process, /dev/hidrawN here) and a Windows program's line ends are not
# compared.
same_as_in_process() {
  name=$1; shift
  lumavix-fw "$@" >/tmp/$name.out 2>/tmp/$name.err
  compare "$name" $?
}

compare() {
  name=$1 rc=$2
  want_rc=$(cat $E/expected/$name.rc)
  tr -d '\r' </tmp/$name.out | sed 's#/\(sim\|dev\)/hidraw[0-9]*#HIDRAW#g' >/tmp/$name.got
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

# wait_for_node TENTHS waits up to TENTHS tenths of a second for the
# camera's hidraw node (left in `node`) while the server $server_pid lives.
wait_for_node() {
  i=0
  while [ $i -lt "$1" ]; do
    node=$(camera_node) && [ -c "$node" ] && return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
    i=$((i + 1))
  done
  return 1
}

# Stops the camera server $server_pid and returns its exit status.
stop_server() {
  kill -TERM "$server_pid" 2>/dev/null
  wait "$server_pid"
  rc=$?
  server_pid=
  return $rc
}

# Starts lumavix-simcam (with PROFILE, or $1) and waits for the kernel's
# hidraw node.
start_simcam() {
  lumavix-simcam --sim-state /tmp/cam.state "${1:-$PROFILE}" 2>>/tmp/simcam.log &
  server_pid=$!
  wait_for_node 100
}

stop_simcam() { stop_server; }

# time_pairs LABEL NAME SIZE COMMAND... times one feature set+get pair
# through COMMAND (a lumavix-fw, or the same run some other way): a read of
# SIZE bytes against a 32-byte one, so that start-up costs cancel. The big read's
# output is /tmp/NAME.out, its status `read_rc`; the cost in microseconds is
# left in `pair_us` (empty when the counts make no sense) and shown as a
# TIMING line.
time_pairs() {
  label=$1 name=$2 size=$3
  shift 3
  c0=$(transfers); t0=$(now_cs)
  "$@" flash read 0 "$size" >/tmp/$name.out 2>/tmp/$name.err
  read_rc=$?
  t1=$(now_cs); c1=$(transfers)
  "$@" flash read 0 0x20 >/dev/null 2>&1
  t2=$(now_cs); c2=$(transfers)
  pair_us=$(awk -v c0="$c0" -v c1="$c1" -v c2="$c2" -v t0="$t0" -v t1="$t1" -v t2="$t2" 'BEGIN {
    pairs = ((c1 - c0) - (c2 - c1)) / 2
    if (pairs > 0) printf "%.0f", ((t1 - t0) - (t2 - t1)) * 10000 / pairs
  }')
  [ -n "$pair_us" ] || return 0
  awk -v c0="$c0" -v c1="$c1" -v c2="$c2" -v t0="$t0" -v t1="$t1" -v t2="$t2" -v l="$label" -v us="$pair_us" -v size="$size" 'BEGIN {
    printf "TIMING: %sflash read %s: %d transfers in %.2f s; 0x20: %d transfers in %.2f s; %d us per feature-report pair\n",
      l, size, c1 - c0, (t1 - t0) / 100, c2 - c1, (t2 - t1) / 100, us
  }'
}

# check_dump NAME COMMAND... runs COMMAND dump -o FILE in the working
# directory: the dump is a firmware file, the flash's CRC-32 in 4 bytes and
# then the flash. The image of update.bin (its bytes after its own 4) must
# open the flash, and the whole dump must be the in-process camera's,
# expected-dump.bin, where that was made.
check_dump() {
  name=$1
  shift
  t0=$(now_cs)
  if "$@" dump -o /tmp/$name.bin >/tmp/$name.out 2>/tmp/$name.err; then
    t1=$(now_cs)
    dd if=/tmp/$name.bin of=/tmp/$name.flash bs=4 skip=1 2>/dev/null
    dd if=update.bin of=/tmp/$name.image bs=4 skip=1 2>/dev/null
    head -c "$(wc -c </tmp/$name.image)" /tmp/$name.flash >/tmp/$name.head
    if ! [ -s /tmp/$name.head ] || ! cmp -s /tmp/$name.head /tmp/$name.image; then
      bad "$name" "the flash read back differs from the image ($(cmp /tmp/$name.head /tmp/$name.image 2>&1 | head -n 1))"
    elif [ -f expected-dump.bin ] && ! cmp -s /tmp/$name.bin expected-dump.bin; then
      bad "$name" "the dump differs from the in-process camera's ($(cmp /tmp/$name.bin expected-dump.bin 2>&1 | head -n 1))"
    else
      ok "$name"
    fi
    awk -v n="$(wc -c </tmp/$name.flash)" -v t="$((t1 - t0))" \
      'BEGIN { printf "TIMING: dump of %d bytes in %.2f s\n", n, t / 100 }'
  else
    bad "$name" "$* dump failed"
    show /tmp/$name.err
  fi
}
