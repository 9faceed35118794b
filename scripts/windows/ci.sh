#!/usr/bin/env bash
# The Windows part of the CI: the cross-build, every test program under Wine
# and the upgrade loop under Wine. Needs the native build of build/ (for the
# development server and the native host the Wine tests use).
# Prints the time of each step.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$TVX_ROOT"

status=0
timed() {
    local name=$1 t0=$SECONDS rc=0
    shift
    "$@" || rc=$?
    echo "windows/ci: $name: $((SECONDS - t0)) s (exit $rc)"
    return $rc
}
timed build bash scripts/windows/build.sh
timed tests bash scripts/windows/test.sh || status=1
timed demo bash scripts/windows/demo.sh || status=1
exit $status
