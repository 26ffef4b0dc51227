#!/usr/bin/env bash
# Builds the tool and runs its main job against the built-in simulated camera:
# the window when a display is there, otherwise the command line's update.
# The simulated camera's memories live in build/demo/camera.state, so a second
# run finds the camera already up to date.
set -euo pipefail
cd "$(dirname "$0")"
./packaging/build-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target lumavix-fw $( [ -n "${DISPLAY:-}" ] && echo lumavix-update )
bin="$PWD/build/default"
demo="$PWD/build/demo"
mkdir -p "$demo"
cd "$demo"
fw="$bin/cli/lumavix-fw"
[ -f firmware-0105.bin ] || "$fw" make-firmware --version 0105 --product-id 0E51 -o firmware-0105.bin

if [ -n "${DISPLAY:-}" ] && [ -x "$bin/app/qt/lumavix-update" ]; then
  exec "$bin/app/qt/lumavix-update" --simulate --sim-state camera.state
fi

echo "== the camera and the firmware file =="
"$fw" --simulate --sim-state camera.state status || true
echo
echo "== update =="
"$fw" --simulate --sim-state camera.state update --yes firmware-0105.bin || true
echo
echo "== afterwards =="
"$fw" --simulate --sim-state camera.state status || true
