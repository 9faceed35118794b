# Sourced by the scripts that leave processes running in the background
# (.ci/run, fresh-debian.sh, the demos, the Windows tests): whatever way the
# script ends, nothing it started outlives it.
#
#   tvx_own_processes        once, before anything is started: every process
#                            started afterwards belongs to this script
#   tvx_at_exit COMMAND...   runs COMMAND when the script ends, once its
#                            processes have ended (the last one given first);
#                            tvx_exit_code holds the script's exit status
#   tvx_run COMMAND...       runs a long command so that a signal to the
#                            script is handled at once
#   tvx_own_session PID      PID was started with setsid: everything in its
#                            session belongs to this script, even once PID
#                            has ended (also from a subshell of the script)
#   tvx_end_own_processes    ends them now (SIGTERM, then SIGKILL after
#                            TARVEX_STOP_GRACE seconds, 60 by default)
#
# A process belongs to the script when it descends from it, when it carries
# the script's mark in its environment (TARVEX_PROCESS_MARKS, inherited by
# daemons such as Wine's server or an X server that leave the process tree),
# or when it is in a session of the script's own (a program that left its
# parent behind and wiped its environment, as nginx does, stays in its
# session). Processes are known by their PID and start time, so a PID used
# again by another process is never taken for one of them.

tvx_own_processes() {
    local name
    name=$(basename "$0" | tr -c 'A-Za-z0-9_\n-' '_')
    tvx_mark="$name-$$-$(date +%s%N)"
    export TARVEX_PROCESS_MARKS="${TARVEX_PROCESS_MARKS:+$TARVEX_PROCESS_MARKS }$tvx_mark"
    tvx_exit_hooks=()
    tvx_sessions_file=$(mktemp "${TMPDIR:-/tmp}/tarvex-sessions.XXXXXX")
    declare -gA tvx_known=() tvx_sessions=()
    trap tvx_on_exit EXIT
    trap 'exit 129' HUP
    trap 'exit 130' INT
    trap 'exit 143' TERM
}

tvx_at_exit() {
    tvx_exit_hooks+=("$*")
}

# tvx_run COMMAND...: runs COMMAND and returns its status. In the background
# with a wait, because bash runs a trap only once the foreground command has
# ended: a script stopped in the middle of a long one ends at once.
tvx_run() {
    "$@" &
    wait $!
}

tvx_own_session() {
    # A file, so that the subshells of the script can add to it.
    echo "$1" >> "$tvx_sessions_file"
}

# Prints "PID START" for every living process of this script, and remembers
# them (and their sessions) for the next scan. The scan itself, running below
# this shell, is left out, and so are this shell and its ancestors.
tvx_scan_own_processes() {
    # Taken here: each part of a pipeline is a process of its own.
    local scanner=$BASHPID marked known sessions
    marked=$(grep -lsz -- "^TARVEX_PROCESS_MARKS=\(.* \)\{0,1\}$tvx_mark\( .*\)\{0,1\}\$" /proc/[0-9]*/environ \
        | sed -n 's|^/proc/\([0-9]*\)/environ$|\1|p' | tr '\n' ' ')
    known=
    local pid
    for pid in ${!tvx_known[*]}; do known+=" $pid:${tvx_known[$pid]}"; done
    sessions="${!tvx_sessions[*]} $(cat "$tvx_sessions_file" 2>/dev/null | tr '\n' ' ')"
    # /proc/PID/stat: "PID (COMMAND) STATE PPID PGRP SESSION ... STARTTIME" (the 22nd field).
    cat /proc/[0-9]*/stat 2>/dev/null | awk -v self=$$ -v scanner="$scanner" -v marked="$marked" \
        -v known="$known" -v sessions="$sessions" '
        {
            pid = $1; sub(/^.*\) /, "")
            if ($1 == "Z") next # ended; only its parent can take it away
            ppid[pid] = $2; sid[pid] = $4; start[pid] = $20
            children[$2] = children[$2] " " pid
        }
        function below(root, set,   n, list, i) {
            if (root in set) return
            set[root] = 1
            n = split(children[root], list, " ")
            for (i = 1; i <= n; i++) below(list[i], set)
        }
        END {
            below(scanner, skip)
            for (p = self; p in ppid && !(p in skip); p = ppid[p]) { skip[p] = 1; if (p == 1) break }
            ownsid = sid[self]
            n = split(known, list, " ")
            for (i = 1; i <= n; i++) {
                split(list[i], ps, ":")
                if ((ps[1] in start) && start[ps[1]] == ps[2]) roots[ps[1]] = 1
            }
            n = split(marked, list, " ")
            for (i = 1; i <= n; i++) roots[list[i]] = 1
            n = split(sessions, list, " ")
            for (i = 1; i <= n; i++) if (list[i] != ownsid) owned_sid[list[i]] = 1
            for (p in sid) if (sid[p] in owned_sid) roots[p] = 1
            n = split(children[self], list, " ")
            for (i = 1; i <= n; i++) roots[list[i]] = 1
            for (p in roots) if ((p in start) && !(p in skip)) below(p, found)
            for (p in found) if (!(p in skip) && (p in start)) print p, start[p], sid[p]
        }'
}

# Scans and remembers; sets tvx_alive to the living processes of the script.
tvx_refresh_own_processes() {
    local pid start sid own_sid
    own_sid=$(awk '{ sub(/^.*\) /, ""); print $4 }' /proc/$$/stat)
    tvx_alive=()
    while read -r pid start sid; do
        tvx_known[$pid]=$start
        [ "$sid" = "$own_sid" ] || tvx_sessions[$sid]=1
        tvx_alive+=("$pid")
    done < <(tvx_scan_own_processes)
}

tvx_end_own_processes() {
    local grace=${TARVEX_STOP_GRACE:-60} deadline pid
    tvx_refresh_own_processes
    [ ${#tvx_alive[@]} -gt 0 ] || return 0
    # Once: a script of ours that is cleaning up must not be stopped again.
    kill -TERM "${tvx_alive[@]}" 2>/dev/null
    deadline=$((SECONDS + grace))
    while [ $SECONDS -lt $deadline ]; do
        sleep 0.2
        tvx_refresh_own_processes
        [ ${#tvx_alive[@]} -gt 0 ] || return 0
    done
    echo "$(basename "$0"): still running after ${grace}s, killed: $(tvx_describe "${tvx_alive[@]}")" >&2
    kill -KILL "${tvx_alive[@]}" 2>/dev/null
    for _ in $(seq 25); do
        sleep 0.2
        tvx_refresh_own_processes
        [ ${#tvx_alive[@]} -gt 0 ] || return 0
    done
    echo "$(basename "$0"): could not end: $(tvx_describe "${tvx_alive[@]}")" >&2
    return 1
}

tvx_describe() {
    local pid
    for pid in "$@"; do
        printf '%s(%s) ' "$pid" "$(tr -d '\n' 2>/dev/null < "/proc/$pid/comm")"
    done
}

tvx_on_exit() {
    local code=$? i
    set +e
    trap '' HUP INT TERM
    tvx_exit_code=$code
    tvx_end_own_processes
    for ((i = ${#tvx_exit_hooks[@]} - 1; i >= 0; i--)); do
        eval "${tvx_exit_hooks[i]}"
    done
    rm -f "$tvx_sessions_file"
    exit "$code"
}
