#!/usr/bin/env bash
# wine-run.sh [--effects-checked] WINE PROGRAM [ARG...]
#
# Runs a Windows program under Wine for the tests (ctest's emulator, and the
# installer and window scripts), and copes with two faults that are Wine's,
# not the program's. First, a Wine session opened by the program would keep
# its output open after it ended (below, where the session is opened).
# Second, the Linux loader of Wine's own process can fail an
# assertion while that process exits ("Inconsistency detected by ld.so:
# dl-fini.c ... _dl_fini: Assertion"), a race between threads of the host
# process. The Windows program has finished by then, but its exit status is
# lost and the run ends with 127.
#
# When that line is on standard error and the status is not 0, the run is
# repeated (at most three runs in all): a test, a listing of tests or
# `--version` does the same again, and the repeat must pass on its own.
# With --effects-checked (an installer, an uninstaller: programs that must
# not run twice) it is not repeated; the run ends with 0 and a note, and the
# caller's checks of what the program left behind decide. Every other
# status, and every other failure, is passed on unchanged.
#
# Standard output and standard error stream as the program writes them, so a
# run that hangs still shows what it printed. A listing of tests
# (--gtest_list_tests) is held back until the run has ended, because a
# repeated listing would otherwise name every test twice.
set -u

effects_checked=0
if [ "${1-}" = "--effects-checked" ]; then effects_checked=1; shift; fi
if [ $# -lt 2 ]; then
  echo "usage: wine-run.sh [--effects-checked] WINE PROGRAM [ARG...]" >&2
  exit 2
fi
wine=$1
shift

listing=0
for arg in "$@"; do
  case $arg in --gtest_list_tests*) listing=1 ;; esac
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Wine's own services (services.exe, plugplay.exe, rpcss.exe, ...) start
# with the first program of a Wine session, inherit its standard output and
# error, and live as long as the session. Started from the program run here,
# they would keep its output open after it ended, and whoever reads that
# output (ctest, a $(...)) would wait until the session ended. So when no
# session is running, one is opened first with its output on /dev/null; the
# lock lets one run open it while the others wait. `wineserver` ends with 0
# only when it started a new server (2 when one is running); that server
# stays 10 s after its last program, and the services with it, so that runs
# in a row share it.
if command -v wineserver >/dev/null && command -v wineboot >/dev/null; then
  lock="${WINEPREFIX:-$HOME/.wine}/.wine-run.lock"
  if [ -d "$(dirname "$lock")" ] && exec 4>>"$lock"; then
    flock 4
    # Neither may keep the lock: they outlive this run.
    if setsid wineserver -p10 </dev/null >/dev/null 2>&1 4>&-; then
      timeout 120 wineboot </dev/null >/dev/null 2>&1 4>&- || true
    fi
    exec 4>&-
  fi
fi
loader_failure='Inconsistency detected by ld.so'

status=0
for attempt in 1 2 3; do
  : >"$work/err"
  # Standard error goes through tee (kept for the check below); standard
  # output goes straight to fd 3, the caller's, or the held-back listing.
  if [ "$listing" -eq 1 ]; then exec 3>"$work/out"; else exec 3>&1; fi
  "$wine" "$@" 2>&1 1>&3 3>&- | tee "$work/err" >&2
  status=${PIPESTATUS[0]}
  exec 3>&-
  if [ "$status" -eq 0 ] || ! grep -qF "$loader_failure" "$work/err"; then
    break
  fi
  if [ "$effects_checked" -eq 1 ]; then
    echo "wine-run: Wine's loader failed as the process ended (status $status);" \
      "the program had finished, and what it left behind is checked next" >&2
    status=0
    break
  fi
  if [ "$attempt" -lt 3 ]; then
    echo "wine-run: Wine's loader failed as the process ended (status $status);" \
      "running it again (run $((attempt + 1)) of 3)" >&2
  fi
done
if [ "$listing" -eq 1 ]; then cat "$work/out"; fi
# A failure that printed nothing still says how it ended.
if [ "$status" -ne 0 ] && [ ! -s "$work/err" ]; then
  echo "wine-run: $(basename "$1") ended with status $status" >&2
fi
exit "$status"
