#!/usr/bin/env bash
# Configures and builds Tarvex for testing, with the crash tests' fault
# injection: build/ normally, build-asan/ with --sanitize.
# Usage: scripts/build.sh [--sanitize] [TARGET...]   (default: everything)
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
extra=()
targets=()
for arg in "$@"; do
    case "$arg" in
        --sanitize) dir=build-asan; extra=(-DTVX_SANITIZE=ON -DTVX_BUILD_BENCH=OFF) ;;
        *) targets+=(--target "$arg") ;;
    esac
done

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTVX_FAULT_INJECTION=ON "${extra[@]}" >/dev/null
cmake --build "$dir" "${targets[@]}"
