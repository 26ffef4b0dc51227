#!/usr/bin/env bash
# Builds everything and runs every test through ctest. With --windows first,
# the Windows cross-build and its tests under Wine follow.
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
ctest --preset default -j"$(nproc)" "$@"
./packaging/check-package.sh build/default
if [ "$windows" = 1 ]; then
  ./packaging/windows/test-windows.sh
fi
