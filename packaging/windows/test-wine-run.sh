#!/usr/bin/env bash
# wine-run.sh against stand-ins for Wine: a `wine` that fails the way Wine's
# loader does for its first N runs, and a `wineserver` and `wineboot` that
# only note their calls. A run is repeated only for the loader's failure, a
# program that must not run twice is never repeated, the program's own
# failures pass unchanged, a repeated listing of tests names each test once,
# and a Wine session is opened before the program only when none runs.
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
# The session's stand-ins: wineserver ends with $SERVER_STATUS (0: it started
# a server, 2: one was running); both note their calls in $CALLS, as the
# program does.
mkdir -p "$work/bin" "$work/prefix"
printf '#!/bin/sh\necho "wineserver $*" >>"$CALLS"\nexit "${SERVER_STATUS:-2}"\n' >"$work/bin/wineserver"
printf '#!/bin/sh\necho wineboot >>"$CALLS"\n' >"$work/bin/wineboot"
chmod +x "$work/bin/wineserver" "$work/bin/wineboot"
export PATH="$work/bin:$PATH" WINEPREFIX="$work/prefix" CALLS="$work/calls"

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

# The session: opened (wineboot) before the program only when wineserver
# started a new server, and not again when one runs.
for server in 0 2; do
  rm -f "$work/calls" "$work/runs"
  printf '#!/bin/sh\necho run >>"$CALLS"\n' >"$work/bin/prog"
  SERVER_STATUS=$server "$wine_run" /bin/sh "$work/bin/prog" >/dev/null 2>&1
  calls="$(grep -v '^wineserver' "$work/calls" | tr '\n' ' ')"
  want="run "
  [ "$server" -eq 0 ] && want="wineboot run "
  if [ "$calls" != "$want" ]; then
    echo "FAIL: wineserver ending with $server: expected calls '$want', got '$calls'" >&2
    failures=$((failures + 1))
  fi
done
[ "$failures" -eq 0 ] && echo "wine-run.sh: all cases pass"
exit "$failures"
