#!/usr/bin/env bash
# A staged rollout on this machine, from a build tree:
#
#   1. twenty installations of DemoModule 1.0 in OUT/fleet/NN, each with
#      tarvex-upgrade, 7z, the reference upgrader in Upgrade/ and a stand-in
#      launcher that tells the upgrader's health check how its main form
#      fares, as the real launcher does: it loads, unless the installed
#      release carries Solutions/crash-at-start, and then it crashes;
#   2. nginx on 127.0.0.1 serving a site that tarvex-release made, signed
#      with a report URL on the same site;
#   3. release 2.0 at 25 %: every installation checks, those whose bucket is
#      inside take 2.0 through the upgrader, the others stay on 1.0;
#   4. release 3.0, which crashes at start, at 20 %: the installations inside
#      take it, the health check reverts them to 2.0 and each sends its
#      outcome report; "tarvex-release rollout status --auto-halt-above 30"
#      reads nginx's report log and signs the halt; published again, no other
#      installation is offered 3.0.
#
# Usage: scripts/rollout-demo.sh [--build DIR] [--out DIR]
#   --build DIR   the build tree (default: build)
#   --out DIR     where the demo is laid out, emptied first (default: DIR/rollout-demo)
set -euo pipefail

build=build
out=
while [ $# -gt 0 ]; do
    case "$1" in
        --build) build=$2; shift 2 ;;
        --out) out=$2; shift 2 ;;
        --help) sed -n '2,21p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "rollout-demo.sh: unknown argument $1 (try --help)" >&2; exit 64 ;;
    esac
done
build=$(cd "$build" && pwd)
out=${out:-$build/rollout-demo}
release=$build/publisher/tarvex-release
for program in "$release" "$build/bin/tarvex-upgrade" "$build/bin/Upgrade/Upgrade"; do
    [ -x "$program" ] || { echo "rollout-demo.sh: $program is missing: build it first (scripts/build.sh)" >&2; exit 1; }
done
command -v nginx >/dev/null || [ -x /usr/sbin/nginx ] || { echo "rollout-demo.sh: nginx is not installed" >&2; exit 1; }
nginx=$(command -v nginx || echo /usr/sbin/nginx)
sevenzip=$(command -v 7z) || { echo "rollout-demo.sh: 7z is not installed (p7zip-full)" >&2; exit 1; }

say() { printf '\n== %s\n' "$*"; }

rm -rf "$out"
mkdir -p "$out"
chmod 755 "$out"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
site=$out/site
published=$out/published
export TARVEX_UPGRADE_HEALTH_SECONDS=0 TARVEX_UPGRADE_LOAD_SECONDS=10

nginx_pid=
stop_nginx() { [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null; nginx_pid=; }
trap stop_nginx EXIT

publish() {
    "$release" publish --root "$site" --out "$published" --prefix /api --path /upgrade/query \
        --listen "127.0.0.1:$port" >/dev/null
    if [ -z "$nginx_pid" ]; then
        "$nginx" -p "$published" -c nginx.conf -g 'daemon off;' &
        nginx_pid=$!
        for _ in $(seq 100); do [ -s "$published/nginx.pid" ] && break; sleep 0.1; done
    fi
}

tree() { # VERSION [crash]
    mkdir -p "$out/trees/$1/Solutions"
    echo "demo $1" >"$out/trees/$1/Solutions/demo.txt"
    [ "${2:-}" = crash ] && echo "This release crashes at start." >"$out/trees/$1/Solutions/crash-at-start"
    return 0
}

say "the publisher: a key, release 1.0, signed with a report URL"
"$release" keygen --out "$out/release.key" >/dev/null
tree 1.0
"$release" pack --root "$site" --tree "$out/trees/1.0" --module DemoModule --version 1.0 \
    --release-date 202401010000 >/dev/null
"$release" sign --root "$site" --key "$out/release.key" --report-url "http://127.0.0.1:$port/reports"
publish

say "twenty installations of DemoModule 1.0"
for n in $(seq -w 1 20); do
    app=$out/fleet/$n
    mkdir -p "$app/Solutions" "$app/Upgrade"
    cp "$build/bin/tarvex-upgrade" "$app/"
    cp "$build/bin/Upgrade/Upgrade" "$app/Upgrade/"
    ln -s "$sevenzip" "$app/7z"
    cp "$out/trees/1.0/Solutions/demo.txt" "$app/Solutions/"
    cat >"$app/Solutions/SolutionInfo.xml" <<'EOF'
<?xml version="1.0"?>
<Solution><SolutionS><Solution id="DemoModule" name="Demo"><Version>1.0</Version><ReleaseDate>202401010000</ReleaseDate><State>2</State><Desc>Demo</Desc><Size>1</Size></Solution></SolutionS></Solution>
EOF
    # The launcher's part in the health check, without a window.
    cat >"$app/Tarvex" <<'EOF'
#!/bin/sh
dir=$(dirname "$0")
health=${TARVEX_UPGRADE_HEALTH_FILE:-/dev/null}
[ -e "$dir/Solutions/crash-at-start" ] && kill -SEGV $$
echo loaded >"$health"
echo returned >"$health"
EOF
    chmod 755 "$app/Tarvex"
    (cd "$app" && ./tarvex-upgrade trust add --public "$out/release.key.pub" >/dev/null \
        && ./tarvex-upgrade servers write --server test=127.0.0.1:$port --current test --prefix /api \
            --path /upgrade/query --key unused >/dev/null)
done

upgrade_fleet() { # prints one line per installation: what it was offered and runs now
    for n in $(seq -w 1 20); do
        app=$out/fleet/$n
        status=0
        (cd "$app" && ./tarvex-upgrade download >"$app/download.log" 2>&1) || status=$?
        if [ "$status" -eq 0 ]; then
            (cd "$app" && ./Upgrade/Upgrade "$app/Tmp" "$app/Tarvex" >/dev/null 2>&1) || true
        fi
        printf '  installation %s: %s\n' "$n" "$(cat "$app/Solutions/demo.txt")"
    done
}

say "release 2.0 at 25 %"
tree 2.0
"$release" pack --root "$site" --tree "$out/trees/2.0" --module DemoModule --version 2.0 \
    --release-date 202501010000 >/dev/null
"$release" rollout set --root "$site" --module DemoModule --percent 25 --key "$out/release.key"
publish
upgrade_fleet
on2=$(grep -l 'demo 2.0' "$out"/fleet/*/Solutions/demo.txt | wc -l)
echo "  $on2 of 20 installations took 2.0; the others were offered 1.0, which they have"

say "release 3.0 crashes at start; at 20 % of the fleet"
tree 3.0 crash
"$release" pack --root "$site" --tree "$out/trees/3.0" --module DemoModule --version 3.0 \
    --release-date 202601010000 >/dev/null
"$release" rollout set --root "$site" --module DemoModule --percent 20 --key "$out/release.key"
publish
upgrade_fleet
sleep 1
say "the outcome reports nginx logged"
"$release" rollout status --log "$published/logs/reports.log"
say "halting what the reports condemn"
"$release" rollout status --log "$published/logs/reports.log" --auto-halt-above 30 --min-reports 1 \
    --root "$site" --key "$out/release.key" | grep -v '^  '
publish

say "the fleet checks again"
offered=0
for n in $(seq -w 1 20); do
    app=$out/fleet/$n
    if (cd "$app" && ./tarvex-upgrade check --json 2>/dev/null) \
        | python3 -c 'import json, sys; sys.exit(0 if any(m["version"] == "3.0" for m in json.load(sys.stdin)["needUpgrade"]) else 1)'; then
        offered=$((offered + 1))
        echo "  installation $n is offered 3.0"
    fi
done
reverted=$(grep -c 'h=reverted' "$published/logs/reports.log" || true)
echo "  $reverted installation(s) took 3.0 and reverted; after the halt $offered installation(s) are offered 3.0"
[ "$offered" -eq 0 ] && [ "$reverted" -ge 1 ] && [ "$on2" -ge 1 ] && [ "$on2" -lt 20 ] \
    || { echo "rollout-demo.sh: the rollout did not go as it should" >&2; exit 1; }
say "done: $on2 of 20 took 2.0 at 25 %, 3.0 was halted from its reports"
