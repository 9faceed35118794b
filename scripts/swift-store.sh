#!/usr/bin/env bash
# swift-store.sh start DIR [PID] | stop DIR
#
# A private S3 object store on 127.0.0.1 for the publishing tests and
# benchmarks: OpenStack Swift (one replica, one device, one process per
# server) with its s3api middleware and a memcached of its own, everything
# under DIR and run as the calling user. Debian 12 packages: swift-proxy
# swift-account swift-container swift-object memcached (scripts/install-deps.sh).
#
# start prints KEY=value lines (also kept in DIR/env):
#   S3_ENDPOINT    http://127.0.0.1:PORT, the S3 API (path style, SigV4,
#                  region us-east-1)
#   S3_ACCESS_KEY  test:tester (it holds a colon)
#   S3_SECRET_KEY  testing
#   ANON_BASE_URL  http://127.0.0.1:PORT/v1/AUTH_test: anonymous reads of a
#                  public-read bucket are ANON_BASE_URL/BUCKET/KEY
# With PID, everything stops by itself once that process is gone, so that a
# test killed half-way leaves nothing behind. stop ends what start ran.
set -euo pipefail

PY=/usr/bin/python3   # the Debian python, which sees python3-swift
MEMCACHED=/usr/bin/memcached
SERVERS=(account container object proxy)

die() { echo "swift-store: $*" >&2; exit 1; }

ours() { # pid dir: one of the processes started for DIR?
    [ -r "/proc/$1/cmdline" ] || return 1
    local cmd
    # The process may end between the test and the read.
    cmd=$({ tr '\0' ' ' < "/proc/$1/cmdline"; } 2>/dev/null) || return 1
    case $cmd in *" $2/etc/launch.py "*|"$MEMCACHED "*" $2/run/"*|*"swift-store-watch $2"*) return 0;; esac
    return 1
}

do_stop() {
    local dir=$1 pid i
    [ -f "$dir/run/pids" ] || return 0
    for pid in $(tac "$dir/run/pids"); do
        if ours "$pid" "$dir"; then kill -TERM "$pid" 2>/dev/null || true; fi
    done
    for i in $(seq 1 100); do
        local alive=0
        for pid in $(cat "$dir/run/pids"); do ours "$pid" "$dir" && alive=1; done
        [ $alive = 0 ] && break
        sleep 0.1
    done
    for pid in $(cat "$dir/run/pids"); do
        if ours "$pid" "$dir"; then kill -KILL "$pid" 2>/dev/null || true; fi
    done
    rm -f "$dir/run/pids"
}

do_start() {
    local dir=$1 watch=${2:-}
    [ -x "$MEMCACHED" ] && "$PY" -c 'import swift' 2>/dev/null \
        || die "Swift or memcached is missing: run scripts/install-deps.sh"
    mkdir -p "$dir"/{etc,srv/d1,run,log,cache}
    local me ports
    me=$(id -un)
    # proxy, account, container, object, memcached
    read -r -a ports < <("$PY" -c '
import socket
ss = [socket.socket() for _ in range(5)]
for s in ss: s.bind(("127.0.0.1", 0))
print(*[s.getsockname()[1] for s in ss])')
    local etc=$dir/etc
    cat > "$etc/swift.conf" <<EOF
[swift-hash]
swift_hash_path_suffix = $(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')
swift_hash_path_prefix = tarvex
[storage-policy:0]
name = Policy-0
default = yes
EOF
    local common="bind_ip = 127.0.0.1
workers = 0
user = $me
swift_dir = $etc
devices = $dir/srv
mount_check = false
disable_fallocate = true
recon_cache_path = $dir/cache
log_udp_host = 127.0.0.1
log_udp_port = 9"
    local i
    for i in 1 2 3; do
        local s=${SERVERS[$((i - 1))]}
        printf '[DEFAULT]\n%s\nbind_port = %s\n[pipeline:main]\npipeline = %s-server\n[app:%s-server]\nuse = egg:swift#%s\n' \
            "$common" "${ports[$i]}" "$s" "$s" "$s" > "$etc/$s-server.conf"
    done
    cat > "$etc/proxy-server.conf" <<EOF
[DEFAULT]
$common
bind_port = ${ports[0]}
[pipeline:main]
pipeline = catch_errors gatekeeper healthcheck proxy-logging cache etag-quoter listing_formats s3api tempauth copy slo dlo proxy-logging proxy-server
[app:proxy-server]
use = egg:swift#proxy
account_autocreate = true
[filter:s3api]
use = egg:swift#s3api
location = us-east-1
[filter:tempauth]
use = egg:swift#tempauth
user_test_tester = testing .admin
[filter:cache]
use = egg:swift#memcache
memcache_servers = 127.0.0.1:${ports[4]}
[filter:etag-quoter]
use = egg:swift#etag_quoter
enable_by_default = true
[filter:healthcheck]
use = egg:swift#healthcheck
[filter:catch_errors]
use = egg:swift#catch_errors
[filter:gatekeeper]
use = egg:swift#gatekeeper
[filter:proxy-logging]
use = egg:swift#proxy_logging
[filter:listing_formats]
use = egg:swift#listing_formats
[filter:copy]
use = egg:swift#copy
[filter:slo]
use = egg:swift#slo
[filter:dlo]
use = egg:swift#dlo
EOF
    # Swift reads swift.conf and the rings from DIR/etc, not /etc/swift.
    cat > "$etc/launch.py" <<'EOF'
import os, sys
from swift.common import utils
utils.set_swift_dir(os.path.dirname(os.path.abspath(sys.argv[2])))
from swift.common import storage_policy
storage_policy.reload_storage_policies()
from swift.common.wsgi import run_wsgi
server = sys.argv.pop(1)
conf_file, options = utils.parse_options()
sys.exit(run_wsgi(conf_file, server + '-server', **options))
EOF
    "$PY" - "$etc" "${ports[1]}" "${ports[2]}" "${ports[3]}" <<'EOF'
import sys
from swift.common.ring import RingBuilder
etc = sys.argv[1]
for name, port in zip(('account', 'container', 'object'), sys.argv[2:5]):
    b = RingBuilder(6, 1, 1)
    b.add_dev({'id': 0, 'region': 1, 'zone': 1, 'ip': '127.0.0.1', 'port': int(port),
               'device': 'd1', 'weight': 100.0, 'meta': ''})
    b.rebalance()
    b.get_ring().save('%s/%s.ring.gz' % (etc, name))
EOF
    : > "$dir/run/pids"
    local root=
    [ "$(id -u)" = 0 ] && root="-u root"
    # shellcheck disable=SC2086
    "$MEMCACHED" -l 127.0.0.1 -p "${ports[4]}" -U 0 -m 16 -t 1 $root -P "$dir/run/memcached.pid" \
        </dev/null >>"$dir/log/memcached.log" 2>&1 &
    echo $! >> "$dir/run/pids"
    local s
    for s in "${SERVERS[@]}"; do
        "$PY" "$etc/launch.py" "$s" "$etc/$s-server.conf" -v </dev/null >>"$dir/log/$s.log" 2>&1 &
        echo $! >> "$dir/run/pids"
    done
    if [ -n "$watch" ]; then
        (exec -a "swift-store-watch $dir" bash -c \
            'while kill -0 "$1" 2>/dev/null; do sleep 1; done; exec "$2" stop "$3"' _ "$watch" "$(readlink -f "$0")" "$dir") \
            </dev/null >/dev/null 2>&1 &
        echo $! >> "$dir/run/pids"
    fi
    local endpoint=http://127.0.0.1:${ports[0]} up=
    for i in $(seq 1 300); do
        if curl -fsS -o /dev/null --max-time 2 "$endpoint/healthcheck" 2>/dev/null; then up=1; break; fi
        sleep 0.1
    done
    # The proxy answers its health check alone: wait for the servers behind it.
    for i in 1 2 3; do
        local j
        for j in $(seq 1 100); do
            (exec 3<>"/dev/tcp/127.0.0.1/${ports[$i]}") 2>/dev/null && break
            sleep 0.1
        done
    done
    if [ -z "$up" ]; then
        do_stop "$dir"
        tail -n 20 "$dir"/log/*.log >&2 || true
        die "Swift did not start (logs in $dir/log)"
    fi
    cat > "$dir/env" <<EOF
S3_ENDPOINT=$endpoint
S3_ACCESS_KEY=test:tester
S3_SECRET_KEY=testing
ANON_BASE_URL=$endpoint/v1/AUTH_test
EOF
    cat "$dir/env"
}

[ $# -ge 2 ] || die "usage: $0 start DIR [PID] | stop DIR"
dir=$(mkdir -p "$2" && cd "$2" && pwd)
case $1 in
    start) do_start "$dir" "${3:-}" ;;
    stop) do_stop "$dir" ;;
    *) die "usage: $0 start DIR [PID] | stop DIR" ;;
esac
