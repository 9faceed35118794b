#!/usr/bin/env bash
# Stops .ci/run in the middle of a stage, or lets it fail there, and checks
# that nothing of the run is left: no process that carries the run's
# environment, none in the session the run was started in, none working in
# this repository or inside a fresh Debian root, and no fresh Debian root
# still mounted. The run's own output goes to build-ci/check-stop.log.
#
# Usage: scripts/check-ci-stop.sh [--stage NAME] [--after S] [--signal SIG] [STAGE...]
#   --stage NAME   wait until .ci/run has started this stage (default: the
#                  first stage it runs)
#   --after S      then wait S seconds more (default: 30)
#   --signal SIG   then send SIG (TERM, INT, HUP, ...) to .ci/run alone;
#                  "none" lets the run end by itself, as when a stage fails
#                  (default: TERM)
#   STAGE...       the stages for .ci/run (default: all)
# Exits 0 when nothing was left, 1 otherwise. Run it as root, like .ci/run.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd -P)

stage=
after=30
signal=TERM
stages=()
while [ $# -gt 0 ]; do
    case "$1" in
        --stage) stage=${2:?--stage needs a name}; shift 2 ;;
        --after) after=${2:?--after needs seconds}; shift 2 ;;
        --signal) signal=${2:?--signal needs a signal or none}; shift 2 ;;
        -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        *) stages+=("$1"); shift ;;
    esac
done

mkdir -p build-ci
log=build-ci/check-stop.log
mark="check-ci-stop-$$-$(date +%s%N)"
export TARVEX_PROCESS_MARKS="$mark"
# A background job of a script starts with SIGINT ignored: restore it, as
# for a run in the foreground of a terminal.
setsid env --default-signal=INT,QUIT .ci/run "${stages[@]}" >"$log" 2>&1 &
ci=$!
read -r stat <"/proc/$ci/stat"
ci_started=$(echo "${stat##*) }" | cut -d' ' -f20)
echo "check-ci-stop: .ci/run ${stages[*]} started (pid $ci), output in $log"

pattern="^ci: ==== ${stage:-[a-z-]*}: "
until grep -q "$pattern" "$log"; do
    kill -0 "$ci" 2>/dev/null || break
    sleep 1
done
if [ "$signal" != none ] && kill -0 "$ci" 2>/dev/null; then
    echo "check-ci-stop: $(grep "$pattern" "$log" | tail -n1 | cut -c1-100)"
    sleep "$after"
    echo "check-ci-stop: sending SIG$signal to .ci/run ($(grep '^ci: ==== ' "$log" | tail -n1 | cut -c1-80))"
    kill -"$signal" "$ci" 2>/dev/null || true
fi
t0=$SECONDS
rc=0
wait "$ci" || rc=$?
echo "check-ci-stop: .ci/run exited with $rc, $((SECONDS - t0)) s after the signal; its last lines:"
tail -n 14 "$log" | sed 's/^/  /'

# Independent of the run's own bookkeeping: every process is looked at.
declare -A ppid_of start_of sid_of
for dir in /proc/[0-9]*; do
    read -r stat 2>/dev/null <"$dir/stat" || continue
    # STATE PPID PGRP SESSION (fields 3 to 6), STARTTIME (field 22)
    read -r state ppid _ sid _ _ _ _ _ _ _ _ _ _ _ _ _ _ _ started _ <<<"${stat##*) }"
    [ "$state" != Z ] || continue # ended already
    pid=${dir#/proc/}
    ppid_of[$pid]=$ppid start_of[$pid]=$started sid_of[$pid]=$sid
done
# Started by something older than the run (this script, or whatever else
# runs on the machine) rather than by the run or an orphan of it.
foreign() {
    local p=$1
    while [ -n "${ppid_of[$p]:-}" ] && [ "$p" != 1 ]; do
        [ "${start_of[$p]}" -ge "$ci_started" ] || return 0
        [ "$p" != $$ ] || return 0
        p=${ppid_of[$p]}
    done
    return 1
}
left=()
for pid in "${!ppid_of[@]}"; do
    [ "$pid" != $$ ] && [ "${ppid_of[$pid]}" != $$ ] || continue
    dir=/proc/$pid
    why=
    if grep -qsz -- "^TARVEX_PROCESS_MARKS=$mark\( \|$\)" "$dir/environ"; then
        why="carries the run's environment"
    elif [ "${sid_of[$pid]}" = "$ci" ]; then
        why="is in the run's session"
    elif ! foreign "$pid"; then
        cwd=$(readlink "$dir/cwd" 2>/dev/null || true)
        root=$(readlink "$dir/root" 2>/dev/null || true)
        case "$cwd/" in "$repo"/*) why="works in $cwd" ;; esac
        case "$root" in /var/tmp/tarvex-fresh.*) why="runs inside $root" ;; esac
    fi
    [ -n "$why" ] || continue
    kill -0 "$pid" 2>/dev/null || continue
    left+=("$pid")
    echo "check-ci-stop: left running: $pid $(tr '\0' ' ' 2>/dev/null <"$dir/cmdline" | cut -c1-120) ($why)"
done
mounts=$(findmnt -rn -o TARGET | grep '^/var/tmp/tarvex-fresh\.' || true)
if [ -n "$mounts" ]; then
    echo "check-ci-stop: still mounted:"
    echo "$mounts" | sed 's/^/  /'
fi
if [ ${#left[@]} -gt 0 ] || [ -n "$mounts" ]; then
    echo "check-ci-stop: FAILED: ${#left[@]} processes of the run left running"
    exit 1
fi
echo "check-ci-stop: nothing of the run is left running"
