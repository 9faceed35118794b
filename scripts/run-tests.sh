#!/usr/bin/env bash
# Installs what Tarvex needs, builds it and runs every test.
# With --sanitize: the same in build-asan/, under AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
[ "${1:-}" = "--sanitize" ] && dir=build-asan

bash scripts/install-deps.sh
bash scripts/build.sh "$@"
ctest --test-dir "$dir" --output-on-failure --parallel 2
