#!/usr/bin/env bash
# Pictures of every view of the window, in all six languages, in the default
# and in a dark theme, as PNG files to look at:
#
#   tests/qtapp/screenshots.sh [BUILD_DIR] [OUT_DIR]
#
# BUILD_DIR is the build with the window tests (default build/default),
# OUT_DIR where the pictures go (default BUILD_DIR/screenshots), in the
# folders normal/ and dark/, and again at twice the scale in scale2/. Qt draws
# offscreen: no display is needed. The native Windows window's pictures (one
# per language) come from packaging/windows/test-window.sh --screenshots DIR.
set -euo pipefail

here="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$here/build/default}"
out="${2:-$build/screenshots}"
tests="$build/tests/qtapp/qtapp_tests"
[ -x "$tests" ] || { echo "no $tests: build the window tests first" >&2; exit 2; }
mkdir -p "$out"
out="$(cd "$out" && pwd)"

QT_QPA_PLATFORM=offscreen LUMAVIX_SCREENSHOTS="$out" \
  "$tests" --gtest_filter='Tour/ScreenshotTour.*' --gtest_brief=1
QT_QPA_PLATFORM=offscreen QT_SCALE_FACTOR=2 LUMAVIX_SCREENSHOTS="$out/scale2" \
  "$tests" --gtest_filter='Tour/ScreenshotTour.*' --gtest_brief=1

echo "$(find "$out" -name '*.png' | wc -l) pictures in $out"
