#!/usr/bin/env bash
# The Windows window under Wine, on a virtual X server of its own:
#   test-window.sh BUILD_DIR [--screenshots DIR]
# In a folder with a firmware file, against the fast simulated q camera:
# - the window opens once with its English title, and a second start exits
#   at once (status 0) leaving that one window;
# - the update runs from the keyboard alone: Return on the focused Update
#   button, Return on the confirmation's default OK, then the completion
#   text in the window's trace;
# - under a French locale the title is the French one.
# --screenshots DIR also opens the window in each language (checking each
# title) and saves DIR/window-<lang>.bmp, for a developer to look at.
# Skips (status 0, a "SKIPPED:" line) when Xvfb, xdotool or the window's
# program are missing. One PASS/FAIL line per check; non-zero on a failure.
#
# What Wine 8 does under a bare Xvfb (no window manager), which this relies on:
# - Nothing has the X focus at first (it is PointerRoot), so keys typed with
#   XTEST go nowhere: `xdotool windowfocus --sync` on the main window first.
#   (`windowactivate` needs a window manager's _NET_ACTIVE_WINDOW.)
# - After that, Wine routes XTEST keys to its own focus window: a modal
#   dialog the program opens gets Return even though the X focus stays on
#   the main window.
# - Wine picks its UI language from LC_ALL/LC_MESSAGES/LANG alone, glibc
#   locale generated or not, and sets the prefix's locale from it at each
#   start.
# - Every window Wine hides waits up to 2 s for a window manager that never
#   answers, so closing the confirmation takes about 2 s.
# - Wine names each top-level X window's class after the program
#   ("lumavix-update.exe"): the dialog is the program's other visible window.
# - Wine's WM_NAME is an ASCII rendering of the title; the real one is in
#   _NET_WM_NAME, which `xdotool getwindowname` reads but `search --name`
#   does not.
set -euo pipefail

usage() { echo "usage: test-window.sh BUILD_DIR [--screenshots DIR]" >&2; exit 2; }
[ $# -ge 1 ] || usage
build_dir="$(cd "$1" && pwd)"; shift
screenshots=""
while [ $# -gt 0 ]; do
  case "$1" in
    --screenshots) [ $# -ge 2 ] || usage; mkdir -p "$2"; screenshots="$(cd "$2" && pwd)"; shift 2 ;;
    *) usage ;;
  esac
done

skip() { echo "SKIPPED: window test: $*"; exit 0; }

# LUMAVIX_UPDATE_EXE names another build of the window (or a stand-in).
exe="${LUMAVIX_UPDATE_EXE:-$(find "$build_dir" -maxdepth 3 -name lumavix-update.exe \
                               -not -path '*/_CPack_Packages/*' | head -n 1)}"
fw_exe="$build_dir/cli/lumavix-fw.exe"
[ -n "$exe" ] && [ -f "$exe" ] || skip "the build has no lumavix-update.exe"
[ -f "$fw_exe" ] || skip "the build has no cli/lumavix-fw.exe (to make the firmware file)"
command -v wine >/dev/null || skip "Wine is missing"
command -v xdotool >/dev/null || skip "xdotool is missing"
command -v xvfb-run >/dev/null || skip "xvfb-run (xvfb) is missing"
command -v xauth >/dev/null || skip "xauth is missing (xvfb-run needs it)"
exe="$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")"

# Always a virtual X server, never the developer's desktop: the keys typed
# below go to whatever has the focus. test-windows.sh passes its own (and
# says so with LUMAVIX_WINDOW_TEST_UNDER_XVFB); run alone, xvfb-run picks a
# free display (-a) and stops the server when this script's second run ends.
# Wine draws on the display its running desktop was made on, so a prefix
# still in use by another display's programs is waited for first.
if [ -z "${LUMAVIX_WINDOW_TEST_UNDER_XVFB:-}" ]; then
  WINEPREFIX="${WINEPREFIX:-$build_dir/wineprefix}" timeout 60 wineserver -w 2>/dev/null || true
  exec env LUMAVIX_WINDOW_TEST_UNDER_XVFB=1 LUMAVIX_UPDATE_EXE="$exe" \
    xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$build_dir" ${screenshots:+--screenshots "$screenshots"}
fi

export WINEPREFIX="${WINEPREFIX:-$build_dir/wineprefix}"
# Wine, less the rare failure of its own loader as a process ends.
wine_run="$(cd "$(dirname "$0")" && pwd)/wine-run.sh"
export WINEDEBUG="${WINEDEBUG:--all}"

declare -A titles=(
  [en]="LUMAVIX Q Firmware Update"
  [fr]="Outil de mise à jour du micrologiciel LUMAVIX Q"
  [de]="LUMAVIX Q Firmware aktualisieren"
  [ja]="LUMAVIX Q ファームウェアアップデート"
  [it]="Aggiormamento firmware LUMAVIX Q"
  [nl]="LUMAVIX Q Firmware Updaten"
)
declare -A locales=(
  [en]=en_US.UTF-8 [fr]=fr_FR.UTF-8 [de]=de_DE.UTF-8
  [ja]=ja_JP.UTF-8 [it]=it_IT.UTF-8 [nl]=nl_NL.UTF-8
  [utf8]=C.UTF-8
)
# A fast camera: no transfer latency, never busy.
simulate="--simulate=q,latency-us=0,busy=0"
completed="progress: Firmware update completed."

work="$(mktemp -d)"
pids=()
failures=0
pass() { echo "PASS: $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Stops the programs this script started (only those: the prefix may be in
# use by others), then waits a bounded time for this prefix's Wine to wind
# down, so no Wine process keeps the X server's display open. A caller that
# keeps a Wine session open (LUMAVIX_WINE_SESSION_KEPT) ends it itself.
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ -z "${LUMAVIX_WINE_SESSION_KEPT:-}" ]; then
    timeout 30 wineserver -w 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# Starts the window in the background: LANG_KEY TRACE [ARG...]. Sets $app.
start_window() {
  local lang=$1 trace=$2; shift 2
  LC_ALL="${locales[$lang]}" wine "$exe" "$simulate" "--trace=$trace" "$@" \
    >>"$work/wine.out" 2>&1 &
  app=$!
  pids+=("$app")
}
# Ends the window started last and waits for it, so that its instance mutex
# is gone before the next start.
stop_window() {
  kill "$app" 2>/dev/null || true
  wait "$app" 2>/dev/null || true
}

# The program's visible windows, one id a line.
program_windows() { xdotool search --onlyvisible --classname '^lumavix-update\.exe$' 2>/dev/null || true; }
# Those titled exactly $1. The title is compared as getwindowname reads it
# (the UTF-8 _NET_WM_NAME): `search --name` matches the ASCII stand-in Wine
# puts in WM_NAME ("mise a jour"), which fails for every title with accents
# or Japanese.
windows_titled() {
  local w
  for w in $(program_windows); do
    [ "$(xdotool getwindowname "$w" 2>/dev/null)" = "$1" ] && echo "$w"
  done
  return 0
}
# Waits up to 60 s for a visible window titled exactly $1; prints its id.
wait_window() {
  local i w
  for ((i = 0; i < 240; i++)); do
    w="$(windows_titled "$1" | head -n 1)"
    [ -n "$w" ] && { echo "$w"; return 0; }
    sleep 0.25
  done
  return 0
}
# Waits up to $1 seconds for the fixed string $2 in file $3.
wait_line() {
  local i
  for ((i = 0; i < $1 * 4; i++)); do
    grep -qF -- "$2" "$3" 2>/dev/null && return 0
    sleep 0.25
  done
  return 1
}
show_tail() { echo "--- last lines of $1:"; tail -n 15 "$1" 2>/dev/null || echo "(no file)"; echo "---"; }

cd "$work"
# The firmware file the simulated q camera (product 0E51, older firmware)
# takes as its update; the window finds it in its working folder.
if ! "$wine_run" "$(command -v wine)" "$fw_exe" make-firmware --version 0105 --product-id 0E51 -o fw.bin >>"$work/wine.out" 2>&1; then
  fail "lumavix-fw.exe make-firmware could not make fw.bin"; show_tail "$work/wine.out"; exit 1
fi

# --- English: one window, a second start, the update from the keyboard ----
echo "window test: $exe on display $DISPLAY"
start_window en "$work/en.log"
main="$(wait_window "${titles[en]}")"
if [ -z "$main" ]; then
  fail "no window titled '${titles[en]}' within 60 s"; show_tail "$work/en.log"; show_tail "$work/wine.out"; exit 1
fi
count="$(windows_titled "${titles[en]}" | wc -l)"
if [ "$count" -eq 1 ]; then pass "one window titled '${titles[en]}'"
else fail "expected one window titled '${titles[en]}', found $count"; fi

# The second instance must hand over to the first and end by itself.
set +e
LC_ALL="${locales[en]}" timeout 20 "$wine_run" "$(command -v wine)" "$exe" "$simulate" >>"$work/wine.out" 2>&1
second=$?
set -e
if [ "$second" -eq 0 ]; then pass "a second start exited with status 0"
elif [ "$second" -eq 124 ]; then fail "a second start was still running after 20 s"
else fail "a second start exited with status $second, expected 0"; fi
sleep 1  # time for a stray second window to be mapped
count="$(windows_titled "${titles[en]}" | wc -l)"
if [ "$count" -eq 1 ]; then pass "still one window after the second start"
else fail "expected one window after the second start, found $count"; fi

# The Update button has the focus only once the camera is found.
if wait_line 30 "presentation: update-available" "$work/en.log"; then
  pass "the window offers the update"
else
  fail "expected 'presentation: update-available' in the trace within 30 s"; show_tail "$work/en.log"; exit 1
fi
xdotool windowfocus --sync "$main"
xdotool key Return
# The confirmation: another visible window of the program (no caption to
# search by).
dialog=""
for ((i = 0; i < 120; i++)); do
  dialog="$(program_windows | grep -vx "$main" | head -n 1 || true)"
  [ -n "$dialog" ] && break
  sleep 0.25
done
if [ -n "$dialog" ]; then
  pass "Return on the Update button opened the confirmation"
  # Wine sends the keys to the dialog anyway; the X focus on it is for a
  # dialog that is not modal to the main window.
  xdotool windowfocus --sync "$dialog" 2>/dev/null || true
  xdotool key Return
  if wait_line 60 "$completed" "$work/en.log"; then
    pass "Return on OK ran the update to its completion text"
  else
    fail "expected '$completed' in the trace within 60 s of Return on OK"; show_tail "$work/en.log"
  fi
else
  fail "no confirmation window within 30 s of Return on the Update button"; show_tail "$work/en.log"
fi
stop_window

# --- French: the title from Wine's UI language ---------------------------
wine_locale="$(LC_ALL=fr_FR.UTF-8 wine reg query 'HKCU\Control Panel\International' /v LocaleName 2>&1 | tr -d '\r' || true)"
if grep -q 'fr-FR' <<<"$wine_locale"; then
  pass "Wine takes fr-FR from LC_ALL=fr_FR.UTF-8"
else
  fail "Wine did not take fr-FR from LC_ALL=fr_FR.UTF-8: $wine_locale"
fi
start_window fr "$work/fr.log"
if [ -n "$(wait_window "${titles[fr]}")" ]; then pass "French window titled '${titles[fr]}'"
else fail "no window titled '${titles[fr]}' within 60 s"; show_tail "$work/fr.log"; fi
# A Windows program may end its lines with CR LF.
if tr -d '\r' <"$work/fr.log" | grep -qxF "title: ${titles[fr]}"; then pass "French title in the trace"
else fail "expected 'title: ${titles[fr]}' in the trace"; show_tail "$work/fr.log"; fi
stop_window

# --- Folders named in French, German and Japanese --------------------------
# The window offers the update from a firmware file in such a folder, found
# by its folder search and given on its command line. Wine reads Unix names
# in the Unix locale's character set: these runs have a UTF-8 locale that
# every system has (the languages' own may not be installed).
for folder in "Téléchargements" "Überprüfung" "カメラ"; do
  mkdir -p "$work/$folder"
  cd "$work/$folder"
  if ! LC_ALL=C.UTF-8 "$wine_run" "$(command -v wine)" "$fw_exe" make-firmware --version 0105 \
      --product-id 0E51 -o "mise à jour.bin" >>"$work/wine.out" 2>&1; then
    fail "lumavix-fw.exe make-firmware could not make a file in $folder"; show_tail "$work/wine.out"
    cd "$work"
    continue
  fi
  for how in found given; do
    trace="$work/folder-$how-$(printf '%s' "$folder" | md5sum | cut -c1-8).log"
    if [ "$how" = found ]; then start_window utf8 "$trace"
    else start_window utf8 "$trace" "$(LC_ALL=C.UTF-8 winepath -w "$work/$folder/mise à jour.bin")"; fi
    if wait_line 30 "presentation: update-available" "$trace"; then
      pass "the window offers the update from the file $how in $folder"
    else
      fail "expected 'presentation: update-available' for the file $how in $folder"; show_tail "$trace"
    fi
    stop_window
  done
  cd "$work"
done

# --- Screenshots, one per language ----------------------------------------
if [ -n "$screenshots" ]; then
  for lang in en fr de ja it nl; do
    bmp="$screenshots/window-$lang.bmp"
    rm -f "$bmp"
    start_window "$lang" "$work/shot-$lang.log" "--screenshot=$(winepath -w "$bmp")" --screenshot-delay=1500
    if [ -z "$(wait_window "${titles[$lang]}")" ]; then
      fail "no window titled '${titles[$lang]}' within 60 s"; show_tail "$work/shot-$lang.log"
    else
      # Written after the delay; complete once its size holds for a moment.
      size=-1
      for ((i = 0; i < 80; i++)); do
        if [ -s "$bmp" ]; then
          now="$(stat -c %s "$bmp")"
          [ "$now" = "$size" ] && break
          size="$now"
        fi
        sleep 0.25
      done
      if [ "$(head -c 2 "$bmp" 2>/dev/null)" = BM ]; then
        pass "$lang window titled '${titles[$lang]}', screenshot $bmp"
      else
        fail "expected a BMP file $bmp within 20 s"
      fi
    fi
    stop_window
  done
fi

if [ "$failures" -ne 0 ]; then
  echo "=== window test: $failures check(s) FAILED ==="
  exit 1
fi
echo "=== window test: all checks passed ==="
