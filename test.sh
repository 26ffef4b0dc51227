#!/usr/bin/env bash
# Builds everything and runs every test through ctest. With --windows first,
# the Windows cross-build and its tests under Wine follow. Any further
# arguments go to ctest (for example -R PATTERN or -L cli); a run given them
# is a developer's partial run and leaves out the package check.
#
# Ends with the list of every test that skipped and the reason it gave; a
# skip for want of a tool or package fails the run, as build-deps.sh has just
# installed everything the tests need.
set -euo pipefail
cd "$(dirname "$0")"
windows=0
if [ "${1:-}" = --windows ]; then
  windows=1
  shift
fi
./packaging/build-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default

report="$PWD/build/default/test-report.xml"
package_log="$PWD/build/default/package-check.log"
rm -f "$report" "$package_log"
status=0
ctest --preset default -j"$(nproc)" --output-junit "$report" "$@" || status=$?
if [ "$status" = 0 ] && [ $# -eq 0 ]; then
  ./packaging/check-package.sh build/default 2>&1 | tee "$package_log" || status=$?
fi
logs=()
[ -f "$package_log" ] && logs+=("$package_log")
echo
if [ -f "$report" ]; then
  ./packaging/report-skips.py "$report" "${logs[@]}" ||
    { [ "$status" != 0 ] || status=1; }
else
  echo "No test report was written ($report)."
  [ "$status" != 0 ] || status=1
fi
[ "$status" = 0 ] || exit "$status"
if [ "$windows" = 1 ]; then
  ./packaging/windows/test-windows.sh
fi
