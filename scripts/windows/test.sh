#!/usr/bin/env bash
# Runs the cross-built test programs of build-win/ under Wine, inside
# xvfb-run (the windows platform plugin needs a display; offscreen hangs under
# Wine). The Linux programs the tests need (the development server, nginx)
# are started natively for them by tests/nativehost of the native build in
# build/ (TARVEX_NATIVE_BUILD names another one): Wine cannot follow a Linux
# process it starts itself.
# Usage: test.sh [NAME...]   (default: every test program)
# Prints one line per program with QtTest's totals; exits non-zero if any failed.
set -euo pipefail
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/../processes.sh"
# The native host and what it started, Xvfb, Wine's server and the Windows
# programs a test left running end with this script.
tvx_own_processes
cd "$TVX_ROOT"

limit="${TARVEX_WIN_TEST_TIMEOUT:-900}"
native_build="${TARVEX_NATIVE_BUILD:-$TVX_ROOT/build}"
native_host="$native_build/tests/nativehost/tvxtest-nativehost"
[ -x "$native_host" ] || { echo "windows/test: $native_host is missing: build natively first (scripts/build.sh)" >&2; exit 1; }

tvx_win_prepare_wine
# One Wine server for the whole run, ended with this script. Left to the
# programs, each starts one and it exits after its last client: on a busy
# machine the next program then meets a server on its way out ("wine client
# error: recvmsg: Connection reset by peer") and dies before its first test.
"$(dirname "$TVX_WINE")/wineserver" -p

names=("$@")
if [ ${#names[@]} -eq 0 ]; then
    for t in build-win/tests/bin/*/; do names+=("$(basename "$t")"); done
fi

log_dir="$TVX_ROOT/build-win/test-logs"
mkdir -p "$log_dir"

# The native host, for the whole run; its standard error collects the servers'.
host_out="$log_dir/nativehost.out"
"$native_host" > "$host_out" 2> "$log_dir/nativehost.err" &
host_pid=$!
for _ in $(seq 100); do
    grep -q '^listening on ' "$host_out" && break
    kill -0 "$host_pid" 2>/dev/null || break
    sleep 0.1
done
address="$(sed -n 's/^listening on //p' "$host_out")"
[ -n "$address" ] || { echo "windows/test: the native host did not start, see $log_dir/nativehost.err" >&2; exit 1; }
export TVX_TEST_NATIVE_HOST="$address"
export TARVEX_UPGRADE_HEALTH_SECONDS=2
unset QT_QPA_PLATFORM
# QtTest's own watchdog (5 minutes a function) would end a long data-driven
# function that Wine slows down; the program's limit above is the bound.
export QTEST_FUNCTION_TIMEOUT=$((limit * 1000))

passed=(); failed=()
total_pass=0; total_fail=0; total_skip=0
for name in "${names[@]}"; do
    dir="build-win/tests/bin/$name"
    if [ ! -f "$dir/$name.exe" ]; then
        echo "windows/test: $name: not built" >&2
        failed+=("$name")
        continue
    fi
    t0=$SECONDS
    rc=0
    # The kill matrix starts and kills a few hundred Windows processes, each
    # start costing Wine a large fraction of a second: its bound is wider.
    program_limit=$limit
    [ "$name" = tst_upgradecrash ] && program_limit=$((limit * 3))
    rm -f "$log_dir/$name.log"
    # Under Wine a redirected standard output loses QtTest's report: it goes
    # to a file of its own (a Unix path is a Z: path to Wine).
    tvx_run bash -c 'cd "$1" && exec timeout "$2" xvfb-run -a "$3" "$4.exe" -o "$5/$4.log,txt"' _ \
        "$dir" "$program_limit" "$TVX_WINE" "$name" "$log_dir" \
        > "$log_dir/$name.wine.log" 2>&1 || rc=$?
    # A program that died before its report still gets its line below.
    totals="$(sed -n 's/^Totals: //p' "$log_dir/$name.log" 2>/dev/null | tail -1)" || true
    read -r p f s < <(echo "$totals" | sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed, \([0-9]*\) skipped.*/\1 \2 \3/p') || true
    total_pass=$((total_pass + ${p:-0})); total_fail=$((total_fail + ${f:-0})); total_skip=$((total_skip + ${s:-0}))
    if [ $rc -eq 0 ]; then
        passed+=("$name")
        printf 'windows/test: %-26s ok     %4d s  %s\n' "$name" $((SECONDS - t0)) "$totals"
    else
        failed+=("$name")
        printf 'windows/test: %-26s FAILED %4d s  exit %s  %s  (%s)\n' "$name" $((SECONDS - t0)) "$rc" \
            "${totals:-no totals}" "$log_dir/$name.log"
        grep -E '^(FAIL!|QFATAL)' -A1 "$log_dir/$name.log" 2>/dev/null | head -20 | sed 's/^/    /' || true
    fi
    p=; f=; s=
done
echo "windows/test: programs: ${#passed[@]} passed, ${#failed[@]} failed${failed:+: ${failed[*]}}"
echo "windows/test: functions: $total_pass passed, $total_fail failed, $total_skip skipped"
[ ${#failed[@]} -eq 0 ]
