#!/usr/bin/env bash
# The fleet playbook twice against this machine (connection local) on two
# simulated cameras: the first run updates both and reports "changed", the
# second finds both up to date and changes nothing.
# Exit codes: 0 pass, 1 failure, 77 a visible skip without ansible-playbook.
set -uo pipefail

fw=$1
playbook=$2
work=$3

command -v ansible-playbook >/dev/null 2>&1 ||
  { echo "SKIP: ansible-playbook is not installed (Debian package ansible-core)"; exit 77; }

rm -rf "$work" && mkdir -p "$work/firmware" || exit 1
"$fw" make-firmware --version 0105 --product-id 0E51 -o "$work/q-0105.bin" >/dev/null || exit 1

export ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_LOCAL_TEMP="$work/ansible-tmp"
export ANSIBLE_HOME="$work/ansible-home" ANSIBLE_LOCALHOST_WARNING=0
play() {
  ansible-playbook -i localhost, -c local "$playbook" \
    -e ansible_python_interpreter=/usr/bin/python3 \
    -e lumavix_fw="$fw" \
    -e lumavix_firmware="$work/q-0105.bin" \
    -e lumavix_firmware_dir="$work/firmware" \
    -e lumavix_simulate=q,latency-us=0,busy=0,count=2 \
    -e lumavix_sim_state="$work/cameras.sim" \
    -e lumavix_wait_replug=10 2>&1
}

fail() { echo "FAIL: $*"; exit 1; }
recap() { grep -E '^localhost +:' <<<"$1"; }

first=$(play) || { echo "$first"; fail "the first run failed"; }
echo "$first"
recap "$first" | grep -Eq 'changed=[1-9]' || fail "the first run expected to report changed"
grep -q 'camera 0 (/sim/hidraw0): updated 0104 -> 0105, confirmed' <<<"$first" ||
  fail "camera 0 expected updated and confirmed"
grep -q 'camera 1 (/sim/hidraw1): updated 0104 -> 0105, confirmed' <<<"$first" ||
  fail "camera 1 expected updated and confirmed"

second=$(play) || { echo "$second"; fail "the second run failed"; }
echo "$second"
recap "$second" | grep -Eq 'changed=0 ' || fail "the second run expected to change nothing"
[ "$(grep -c 'up-to-date' <<<"$second")" -ge 2 ] || fail "both cameras expected up to date"
echo "PASS"
