#!/usr/bin/env bash
# Runs the cross-built test programs of build-win/ under Wine, inside
# xvfb-run (the windows platform plugin needs a display; offscreen hangs under
# Wine). The development server they start is the native one of build/.
# Usage: test.sh [NAME...]   (default: every test program)
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$TVX_ROOT"

wine=/usr/lib/wine/wine64
export WINEPREFIX="$TVX_WIN_CACHE/wineprefix"
export WINEDEBUG=-all
# No Mono or Gecko install prompts in a new prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="
limit="${TARVEX_WIN_TEST_TIMEOUT:-600}"

if [ ! -d "$WINEPREFIX/drive_c" ]; then
    echo "windows/test: creating the Wine prefix $WINEPREFIX"
    timeout 300 xvfb-run -a "$wine" wineboot --init >/dev/null 2>&1 || true
fi

names=("$@")
if [ ${#names[@]} -eq 0 ]; then
    for t in build-win/tests/bin/*/; do names+=("$(basename "$t")"); done
fi

log_dir="$TVX_ROOT/build-win/test-logs"
mkdir -p "$log_dir"
passed=(); failed=()
for name in "${names[@]}"; do
    dir="build-win/tests/bin/$name"
    if [ ! -f "$dir/$name.exe" ]; then
        echo "windows/test: $name: not built" >&2
        failed+=("$name")
        continue
    fi
    t0=$SECONDS
    rc=0
    # Under Wine a redirected standard output loses QtTest's report: it goes
    # to a file of its own (a Unix path is a Z: path to Wine).
    (cd "$dir" && timeout "$limit" xvfb-run -a "$wine" "$name.exe" -o "$log_dir/$name.log,txt") \
        > "$log_dir/$name.wine.log" 2>&1 || rc=$?
    if [ $rc -eq 0 ]; then
        passed+=("$name")
        echo "windows/test: $name passed in $((SECONDS - t0)) s"
    else
        failed+=("$name")
        echo "windows/test: $name FAILED (exit $rc) in $((SECONDS - t0)) s; see $log_dir/$name.log"
    fi
done
echo "windows/test: ${#passed[@]} passed, ${#failed[@]} failed${failed:+: ${failed[*]}}"
[ ${#failed[@]} -eq 0 ]
