#!/usr/bin/env bash
# The Windows installer under Wine: `test-installer.sh BUILD_DIR` installs
# BUILD_DIR's lumavix-fw-*-win64-setup.exe silently, checks the installed
# programs, the uninstall entry and the Start-menu shortcut, then uninstalls
# silently and checks that nothing is left; in between, that installer and
# uninstaller refuse (exit status 3 under /S) while a program of the tool
# runs. With LUMAVIX_SIGN_CERT set (the packages were signed), the installer
# and the installed programs' signatures are verified against it. One
# PASS/FAIL line per check; the status is non-zero when one failed.
# Uses the caller's WINEPREFIX (test-windows.sh exports the build's own),
# else BUILD_DIR/wineprefix, so the user's prefix is never touched.
set -euo pipefail

build_dir="$(cd "${1:?usage: test-installer.sh BUILD_DIR}" && pwd)"
export WINEPREFIX="${WINEPREFIX:-$build_dir/wineprefix}"
# Wine, less the rare failure of its own loader as a process ends.
wine_run="$(cd "$(dirname "$0")" && pwd)/wine-run.sh"
run_wine() {  # [--effects-checked] PROGRAM [ARG...]
  local opt=()
  if [ "$1" = --effects-checked ]; then opt=("$1"); shift; fi
  "$wine_run" "${opt[@]}" "$(command -v wine)" "$@"
}
export WINEDEBUG="${WINEDEBUG:--all}"

shopt -s nullglob
installers=("$build_dir"/lumavix-fw-*-win64-setup.exe)
shopt -u nullglob
if [ ${#installers[@]} -ne 1 ]; then
  echo "FAIL: expected one lumavix-fw-*-win64-setup.exe in $build_dir, found ${#installers[@]}" >&2
  exit 1
fi
installer="${installers[0]}"
# The version the installer is named with is the one the program must print.
version="$(basename "$installer")"
version="${version#lumavix-fw-}"
version="${version%-win64-setup.exe}"

# The default folder, which is what users get. (NSIS takes /D=DIR only
# unquoted, and Wine quotes an argument that has spaces, so a folder of the
# test's own under Program Files cannot be asked for.)
win_dir='C:\Program Files\LUMAVIX Firmware Update Tool'
unix_dir="$WINEPREFIX/drive_c/Program Files/LUMAVIX Firmware Update Tool"
# The key is the installer's fixed one (CPACK_PACKAGE_INSTALL_REGISTRY_KEY).
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\LUMAVIX Firmware Update Tool'
start_menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/LUMAVIX Firmware Update Tool"

failures=0
pass() { echo "PASS: $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local seconds=$1; shift
  local i
  for ((i = 0; i < seconds * 4; i++)); do
    "$@" && return 0
    sleep 0.25
  done
  return 1
}
absent() { [ ! -e "$1" ]; }

# The uninstall entry, as `reg query` prints it with Windows line ends
# (Wine's reg prints its "Unable to find" on standard output: only the
# status tells a missing key).
uninstall_entry() { run_wine reg query "$uninstall_key" 2>&1 | tr -d '\r'; }
has_uninstall_entry() { run_wine reg query "$uninstall_key" >/dev/null 2>&1; }

# A run that stopped half-way leaves the tool installed in the build's prefix:
# remove it the way a user would, so that the checks below start clean.
if has_uninstall_entry; then
  echo "NOTE: removing the tool left installed in $WINEPREFIX by an earlier run"
  wine "$win_dir\\Uninstall.exe" /S >/dev/null 2>&1 || true
  wait_for 60 absent "$unix_dir" || true
  wine reg delete "$uninstall_key" /f >/dev/null 2>&1 || true
  rm -rf "$unix_dir" "$start_menu"
fi

# `wine` waits for the installer (unlike for the uninstaller, below).
if run_wine --effects-checked "$installer" /S; then
  pass "silent install of $(basename "$installer") exited with status 0"
else
  fail "silent install exited with status $?"
fi

for f in lumavix-fw.exe Uninstall.exe README.txt lumavix-fw.txt; do
  if [ -f "$unix_dir/$f" ]; then pass "installed $f"; else fail "expected $unix_dir/$f"; fi
done

version_out="$(run_wine "$win_dir\\lumavix-fw.exe" --version 2>&1 | tr -d '\r' || true)"
if [ "$(head -n 1 <<<"$version_out")" = "lumavix-fw $version" ]; then
  pass "installed lumavix-fw.exe --version: $version_out"
else
  fail "installed lumavix-fw.exe --version: expected 'lumavix-fw $version', got '$version_out'"
fi

# Signed packages: the installer and both installed programs carry a valid
# signature by the given certificate (a self-signed one is its own CA).
if [ -n "${LUMAVIX_SIGN_CERT:-}" ]; then
  for f in "$installer" "$unix_dir/lumavix-fw.exe" "$unix_dir/lumavix-update.exe"; do
    if osslsigncode verify -CAfile "$LUMAVIX_SIGN_CERT" -in "$f" >/dev/null 2>&1; then
      pass "signature of $(basename "$f") verified"
    else
      fail "signature of $f does not verify against $LUMAVIX_SIGN_CERT"
    fi
  done
fi

# While a program of the tool runs (here the command line, dumping a slow
# simulated camera's flash for half a minute), the installer refuses with
# status 3 and the uninstaller removes nothing. (The uninstaller's own status
# is only returned when it is started with _?=FOLDER, which NSIS takes only
# unquoted, and Wine quotes a folder with spaces.)
dump_dir="$(mktemp -d)"
(cd "$dump_dir" && wine "$win_dir\\lumavix-fw.exe" --simulate=q,latency-us=3000 dump \
  >/dev/null 2>&1) &
runner=$!
# Up once its file is held: Wine starts a program in a second or two.
sleep 4
# Plain wine here: wine-run.sh's reading of the run's output would wait
# for the command line's end.
status=0
wine "$installer" /S >/dev/null 2>&1 || status=$?
if [ "$status" = 3 ]; then pass "an install while the tool runs is refused (status 3)"
else fail "install while the tool runs: expected status 3, got $status"; fi
wine "$win_dir\\Uninstall.exe" /S >/dev/null 2>&1 || true
sleep 8
if [ -f "$unix_dir/lumavix-fw.exe" ] && [ -f "$unix_dir/Uninstall.exe" ] && has_uninstall_entry; then
  pass "the uninstaller removed nothing while the tool runs"
else
  fail "the uninstaller changed the installation while the tool runs: $(ls -A "$unix_dir" 2>&1 | tr '\n' ' ')"
fi
if kill -0 "$runner" 2>/dev/null; then pass "the command line still ran through both checks"
else fail "the command line ended before the checks were done: they prove nothing"; fi
wait "$runner" 2>/dev/null || true
rm -rf "$dump_dir"

# The window is installed, with its shortcut, once the build has it.
if find "$build_dir" -maxdepth 3 -name lumavix-update.exe -not -path '*/_CPack_Packages/*' | grep -q .; then
  if [ -f "$unix_dir/lumavix-update.exe" ]; then pass "installed lumavix-update.exe"
  else fail "expected $unix_dir/lumavix-update.exe"; fi
  # The shell link holds its target's full path as plain text.
  lnk="$start_menu/LUMAVIX Firmware Update Tool.lnk"
  if [ -f "$lnk" ] && grep -aqF "$win_dir\\lumavix-update.exe" "$lnk"; then
    pass "Start-menu shortcut to the window"
  else
    fail "expected the shortcut $lnk to $win_dir\\lumavix-update.exe"
  fi
else
  echo "NOTE: the build has no lumavix-update.exe: its install and shortcut are not checked"
fi

entry="$(uninstall_entry || true)"
expect_value() {  # NAME VALUE: one line of the uninstall entry
  if grep -qE "^ +$1 +REG_SZ +$(printf '%s' "$2" | sed 's/[][\\.^$*+?(){}|]/\\&/g')\$" <<<"$entry"; then
    pass "uninstall entry $1 = $2"
  else
    fail "uninstall entry: expected $1 = $2 under $uninstall_key; reg query printed:"$'\n'"$entry"
  fi
}
expect_value DisplayName "LUMAVIX Firmware Update Tool"
expect_value UninstallString "\"$win_dir\\Uninstall.exe\""

# The uninstaller copies itself to the temporary folder, starts that copy and
# returns at once (so that it can delete its own file): wait for the folder
# to go rather than for the process.
if run_wine --effects-checked "$win_dir\\Uninstall.exe" /S; then
  pass "silent uninstall started"
else
  fail "silent uninstall exited with status $?"
fi
if wait_for 60 absent "$unix_dir"; then
  pass "the install folder is gone"
else
  fail "the install folder is still there after 60 s: $(ls -A "$unix_dir" | tr '\n' ' ')"
fi
if wait_for 10 absent "$start_menu"; then pass "the Start-menu folder is gone"
else fail "the Start-menu folder is still there: $start_menu"; fi
if ! has_uninstall_entry; then pass "the uninstall entry is gone"
else fail "the uninstall entry is still there: $uninstall_key"; fi

if [ "$failures" -ne 0 ]; then
  echo "=== installer test: $failures check(s) FAILED ==="
  exit 1
fi
echo "=== installer test: all checks passed ==="
