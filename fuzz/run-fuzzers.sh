#!/bin/sh
# Builds the fuzz preset's fuzzers and runs each for a bounded time (20 s by
# default, FUZZ_SECONDS to change it) from its seed corpus in fuzz/corpus/;
# the descriptor parsers' fuzzers also start from the descriptors the
# simulated camera presents (written by write_seeds, so they follow it).
# New inputs go to a scratch folder, never into the tree. Fails on the first
# fuzzer that finds a crash; the input that crashed is kept in the scratch
# folder named on stderr.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${FUZZ_SECONDS:-20}
# name:maximum input length (the state file holds a whole flash image)
fuzzers="sim_state_fuzz:262144 sim_options_fuzz:512 table_file_fuzz:70000
serial_mask_fuzz:4096 tar_name_fuzz:400 udev_rule_fuzz:8192 json_output_fuzz:4096
settext_fuzz:65536 firmware_file_fuzz:300000 user_data_fuzz:4096
hid_descriptor_fuzz:4096 uvc_descriptor_fuzz:4096 hostile_device_fuzz:4096"
"$root/packaging/build-deps.sh" fuzz
targets="write_seeds"
for f in $fuzzers; do targets="$targets ${f%%:*}"; done
[ -f build/fuzz/CMakeCache.txt ] || cmake --preset fuzz >/dev/null
# shellcheck disable=SC2086
cmake --build --preset fuzz --target $targets
work=$(mktemp -d "${TMPDIR:-/tmp}/lumavix-fuzz-XXXXXX")
# The loaders that take a path write their inputs here.
mkdir "$work/tmp"
export TMPDIR="$work/tmp"
# The descriptors the simulated camera presents, and the parsers' tests' own.
"$root/build/fuzz/fuzz/write_seeds" "$work/seeds"
for f in $fuzzers; do
  name=${f%%:*}
  max=${f##*:}
  mkdir -p "$work/$name"
  seeds=$root/fuzz/corpus/$name
  [ -d "$seeds" ] || seeds=
  made=$work/seeds/$name
  [ -d "$made" ] || made=
  echo "== $name: ${seconds}s, inputs up to $max bytes" >&2
  # shellcheck disable=SC2086
  if ! (cd "$work" && "$root/build/fuzz/fuzz/$name" -max_total_time="$seconds" \
        -max_len="$max" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
        "$work/$name" ${seeds:+"$seeds"} ${made:+"$made"} 2>"$work/$name.log"); then
    tail -n 40 "$work/$name.log" >&2
    echo "$name found a fault; its input and log are in $work" >&2
    exit 1
  fi
  grep -E "^stat::number_of_executed_units" "$work/$name.log" >&2 || true
done
rm -rf "$work"
echo "every fuzzer ran ${seconds}s without a fault" >&2
