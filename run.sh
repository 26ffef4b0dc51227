#!/usr/bin/env bash
# Builds the tool and runs its main job against the built-in simulated camera.
set -euo pipefail
cd "$(dirname "$0")"
./packaging/build-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target lumavix-fw
fw=build/default/cli/lumavix-fw
echo "== cameras =="
"$fw" --simulate list
echo "== flash identification =="
"$fw" --simulate flash id
echo "== user-data block (first 32 bytes at 0x3000) =="
"$fw" --simulate flash read 0x3000 32
