#!/usr/bin/env bash
# Configures and builds Tarvex: build/ normally, build-asan/ with --sanitize.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
extra=()
if [ "${1:-}" = "--sanitize" ]; then
    dir=build-asan
    extra=(-DTVX_SANITIZE=ON -DTVX_BUILD_BENCH=OFF)
fi

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${extra[@]}" >/dev/null
cmake --build "$dir"
