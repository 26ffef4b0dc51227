#!/usr/bin/env bash
# Builds everything and runs every test through ctest.
set -euo pipefail
cd "$(dirname "$0")"
./packaging/build-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default -j"$(nproc)" "$@"
./packaging/check-package.sh build/default
