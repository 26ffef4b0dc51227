#!/usr/bin/env bash
# wine-run.sh against a stand-in for Wine that fails the way Wine's loader
# does for its first N runs: a run is repeated only for that failure, a
# program that must not run twice is never repeated, the program's own
# failures pass unchanged, and a repeated listing of tests names each test
# once.
set -euo pipefail
wine_run="$(cd "$(dirname "$0")" && pwd)/wine-run.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

cat >"$work/wine" <<'FAKE'
#!/usr/bin/env bash
runs=$(($(cat "$RUNS" 2>/dev/null || echo 0) + 1)); echo "$runs" >"$RUNS"
echo "run $runs: $*"
if [ "$runs" -le "$LOADER_FAILURES" ]; then
  echo "Inconsistency detected by ld.so: dl-fini.c: 87: _dl_fini: Assertion \`ns != LM_ID_BASE || i == nloaded' failed!" >&2
  exit 127
fi
exit "$STATUS"
FAKE
chmod +x "$work/wine"

failures=0
# LOADER_FAILURES STATUS OPTION ARG -> expected status, runs, output lines
check() {
  local loader=$1 status=$2 opt=$3 arg=$4 want_status=$5 want_runs=$6 want_lines=$7
  local out got_status got_runs got_lines
  rm -f "$work/runs"
  set +e
  out="$(RUNS="$work/runs" LOADER_FAILURES=$loader STATUS=$status \
    "$wine_run" $opt "$work/wine" prog.exe "$arg" 2>/dev/null)"
  got_status=$?
  set -e
  got_runs="$(cat "$work/runs")"
  got_lines="$(grep -c '^run ' <<<"$out" || true)"
  if [ "$got_status/$got_runs/$got_lines" != "$want_status/$want_runs/$want_lines" ]; then
    echo "FAIL: loader failures $loader, status $status, '$opt $arg': expected" \
      "status/runs/lines $want_status/$want_runs/$want_lines, got $got_status/$got_runs/$got_lines" >&2
    failures=$((failures + 1))
  fi
}
check 0 0 "" --x 0 1 1                      # a clean run
check 0 3 "" --x 3 1 1                      # the program's own failure
check 1 0 "" --x 0 2 2                      # the loader failed once: run again
check 5 0 "" --x 127 3 3                    # at most three runs
check 1 0 --effects-checked /S 0 1 1        # an installer never runs twice
check 1 0 "" --gtest_list_tests 0 2 1       # the listing of the last run only
check 0 4 --effects-checked /S 4 1 1        # its own failure still counts
[ "$failures" -eq 0 ] && echo "wine-run.sh: all cases pass"
exit "$failures"
