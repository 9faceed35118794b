# Sourced by the demos: runs the development server in the background for
# the rest of the script. The caller defines say and die, and has called
# tvx_own_processes (scripts/processes.sh), which ends the server with
# whatever else it started.
server_pid=
url=
# start_server PROGRAM ROOT KEY OUT: serves ROOT on a free loopback port,
# stopped when the script exits; sets url. OUT gets server.out and server.log.
start_server() {
    tvx_at_exit 'say "server stopped"'
    "$1" --root "$2" --key "$3" --host 127.0.0.1 --port 0 >"$4/server.out" 2>"$4/server.log" &
    server_pid=$!
    for _ in $(seq 1 100); do
        # The background shell may not have opened server.out yet.
        url=$(sed -n 's/^listening on //p' "$4/server.out" 2>/dev/null || true)
        [ -n "$url" ] && break
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.1
    done
    [ -n "$url" ] || die "the server did not start: $(cat "$4/server.log")"
}
