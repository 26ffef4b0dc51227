#!/usr/bin/env bash
# The Windows build: cross-builds the `windows` preset with mingw-w64 and runs
# its tests under Wine through ctest, then makes the zip and the installer,
# installs and removes that under Wine, and drives the window under Wine on a
# virtual X server (test-installer.sh, test-window.sh). When mingw-w64 or
# Wine cannot be installed the step says so and ends with status 0 (skipped),
# so that a machine without them still runs the Linux suite.
set -euo pipefail
cd "$(dirname "$0")/../.."

skip() {
  echo "=== Windows build SKIPPED: $* ===" >&2
  exit 0
}

./packaging/build-deps.sh windows || skip "its packages cannot be installed"
command -v x86_64-w64-mingw32-g++-posix >/dev/null || skip "mingw-w64 (posix threads) is missing"
command -v wine >/dev/null || skip "Wine is missing"

export WINEDEBUG=-all
# No display until the window's own tests below: the console programs' runs
# are then the same on a desktop as in CI.
unset DISPLAY
export WINEPREFIX="$PWD/build/windows/wineprefix"
mkdir -p build/windows
# A prefix of its own, made once, so nothing is asked of the user's.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1 || skip "Wine cannot make its prefix"
fi

# The Wine end-to-end test borrows the Linux build's camera server and
# program (./test.sh has made build/default before this step).
cmake --preset windows -DLUMAVIX_E2E_LINUX_BUILD="$PWD/build/default" >/dev/null
cmake --build --preset windows

# One Wine session for all the runs below. Wine's own services
# (services.exe, plugplay.exe, rpcss.exe, ...) start with the first Wine
# program of a session, inherit its standard output and error, and live as
# long as the session: were that first program a test, its test would wait
# for its output to close until the session ended (wine-run.sh opens a
# session the same way when none runs). The session is started here with
# its output on /dev/null, kept open (-p) for the whole run whatever the
# pauses between steps, and stopped at the end.
start_wine_session() {
  timeout 60 wineserver -k 2>/dev/null || true
  setsid wineserver -p </dev/null >/dev/null 2>&1 || true
  timeout 120 wineboot </dev/null >/dev/null 2>&1 || true
}
stop_wine_session() { timeout 60 wineserver -k 2>/dev/null || true; }
export LUMAVIX_WINE_SESSION_KEPT=1  # test-window.sh: do not wait for its end
trap stop_wine_session EXIT
start_wine_session

# The long soak and the end-to-end tests are Linux's; the Windows run is the
# platform-free suites and the Windows layers' own tests (a few minutes).
# The native window's tests need a display; everything else runs without
# one, so that Wine never involves X in the console programs' many starts.
# Wine's heap checks are on for them: a free of a block that is not the
# heap's fails the test (and a command-line test for its program's run)
# instead of passing until it crashes another run.
window_tests='^Win(Confirm|Focus|Ring|Trace|WindowUpdate|Window)Test\.'
# The tests that skipped are listed with their reasons (the Wine end-to-end
# test skips where QEMU, the kernel package or a Linux build cannot be had);
# a skip here does not fail the step.
report="$PWD/build/windows/test-report.xml"
rm -f "$report"
WINEDEBUG=warn+heap ctest --preset windows -j"$(nproc)" -E "$window_tests" \
  --output-junit "$report" "$@"
[ -f "$report" ] && { ./packaging/report-skips.py "$report" || true; }

# The packages are signed as a release's are (packaging/windows/sign.cmake),
# here with a throwaway self-signed certificate made for this run, and the
# signatures are verified: the zip's programs below, the installer and the
# installed programs in test-installer.sh.
sign_dir="$PWD/build/windows/test-signing"
rm -rf "$sign_dir" && mkdir -p "$sign_dir"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=LUMAVIX test signing" \
  -addext "extendedKeyUsage=codeSigning" \
  -keyout "$sign_dir/key.pem" -out "$sign_dir/cert.pem" >/dev/null 2>&1
export LUMAVIX_SIGN_CERT="$sign_dir/cert.pem" LUMAVIX_SIGN_KEY="$sign_dir/key.pem"
(cd build/windows && cpack -G ZIP >/dev/null && ls -1 lumavix-fw-*-win64.zip)
unzip -q -o -d "$sign_dir/zip" build/windows/lumavix-fw-*-win64.zip
zip_programs=("$sign_dir"/zip/*/*.exe)
[ ${#zip_programs[@]} -ge 1 ] || { echo "FAIL: no program in the zip" >&2; exit 1; }
for f in "${zip_programs[@]}"; do
  osslsigncode verify -CAfile "$LUMAVIX_SIGN_CERT" -in "$f" >/dev/null ||
    { echo "FAIL: $(basename "$f") in the zip is not signed by the test certificate" >&2; exit 1; }
  echo "PASS: signature of $(basename "$f") in the zip verified"
done

# The installer, and its install and removal under Wine. Without makensis
# the zip is still made and the step says it was left out.
if command -v makensis >/dev/null; then
  (cd build/windows && cpack -G NSIS >/dev/null && ls -1 lumavix-fw-*-win64-setup.exe)
  ./packaging/windows/test-installer.sh build/windows
else
  echo "=== Windows installer SKIPPED: makensis (nsis) is missing ===" >&2
fi

# Then the window: its tests under ctest and test-window.sh, on one virtual
# X server (true colour, for the ring's pixels). Wine makes its desktop once
# per prefix, on the display of the first process that needs it, so the
# prefix's Wine (this build's own) is stopped first and every window process
# gets the same display; a new session is started on it. Without Xvfb both
# skip and say so.
stop_wine_session
xvfb_pid=""
stop_display() {
  stop_wine_session
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
if command -v Xvfb >/dev/null; then
  display_file="$(mktemp)"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
  xvfb_pid=$!
  trap stop_display EXIT
  for _ in $(seq 50); do [ -s "$display_file" ] && break; sleep 0.1; done
  if [ -s "$display_file" ]; then
    export DISPLAY=":$(head -n 1 "$display_file")"
    # test-window.sh types keys: it may use this display, never a desktop's.
    export LUMAVIX_WINDOW_TEST_UNDER_XVFB=1
  else
    echo "=== the virtual X server did not start: the window tests will skip ===" >&2
  fi
  rm -f "$display_file"
else
  echo "=== Xvfb is missing: the window tests will skip ===" >&2
fi
start_wine_session
ctest --preset windows -j1 -R "$window_tests" "$@"
./packaging/windows/test-window.sh build/windows
