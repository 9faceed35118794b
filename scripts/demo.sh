#!/usr/bin/env bash
# The whole upgrade loop on this machine, from a build tree:
#
#   1. lays out a demo installation in OUT/install: the launcher, 7z,
#      tarvex-upgrade, the upgrader in Upgrade/, and Solutions/ with the demo
#      main form and SolutionInfo.xml recording version 1.0 of DemoModule;
#   2. starts tarvex-upgrade-server on 127.0.0.1 (a free port) on the server
#      directory OUT/server, and makes there with tarvex-release a signed
#      release of version 2.0: a key pair in OUT/keys, the packet (the new
#      module files under Solutions/ and the Upgrade/ directory with the
#      upgrader), a delta packet from 1.0 (the installed tree, laid out again
#      in OUT/base) that the download takes instead of the full packet,
#      manifest.json, the signed release.json, checked with
#      "tarvex-release verify", and the same release published for nginx in
#      OUT/published;
#   3. makes the installation trust the key ("tarvex-upgrade trust add") and
#      writes its server file with "tarvex-upgrade servers write";
#   4. runs the launcher. With a display the demo main form is interactive:
#      check, download, upgrade and restart by hand. Without one (or with
#      --unattended) it runs unattended under xvfb-run: check, download,
#      hand-over to the upgrader, and the launcher started again, which must
#      find version 2.0 installed.
#
# The server is stopped at the end in every case.
#
# Usage: scripts/demo.sh [--build DIR] [--out DIR] [--unattended] [--fail-after N] [--crashing-release]
#   --build DIR       the build tree (default: build)
#   --out DIR         where the demo is laid out, emptied first (default: DIR/demo)
#   --unattended      no clicks, even with a display
#   --fail-after N    make the upgrader fail after N files (TARVEX_UPGRADE_FAIL_AFTER):
#                     the installation is rolled back and stays on version 1.0
#   --crashing-release  version 2.0 ships a main form that crashes at start: the
#                     upgrader's health check reverts to 1.0, byte for byte, starts
#                     it again, and 2.0 is held back ("tarvex-upgrade check" says so)
set -euo pipefail

readonly module_id=DemoModule
readonly old_version=1.0
readonly new_version=2.0
readonly key=demo-key
readonly wait_seconds=180

say() { echo "demo: $*"; }
die() { echo "demo: $*" >&2; exit 1; }

# The processes started from the installation's launcher or upgrader; found
# by their executable, so nothing else is ever looked at twice.
installation_processes() {
    local install=$1 pid exe
    for exe_link in /proc/[0-9]*/exe; do
        exe=$(readlink "$exe_link" 2>/dev/null) || continue
        case "$exe" in
            "$install/Tarvex" | "$install/Upgrade/Upgrade")
                pid=${exe_link#/proc/}
                echo "${pid%/exe}"
                ;;
        esac
    done
}

# Lines of the run record written by the demo main form, one JSON object each.
record_lines() {
    if [ -f "$1" ]; then
        grep -c '"outcome"' "$1" || true
    else
        echo 0
    fi
}

# Runs inside xvfb-run for the unattended loop: the launcher, then the wait
# for the launcher that the upgrader starts again, bounded, before xvfb-run
# takes the display away.
unattended_session() {
    local install=$1 record=$2 code deadline
    set +e
    # Qt's own echo of every logged line stays out of the way: the steps
    # come on stdout, and everything is in the print log.
    timeout "$wait_seconds" "$install/Tarvex" 2>>"$(dirname "$record")/launcher.err"
    code=$?
    set -e
    say "the first launcher exited with $code"
    if [ "$code" -ne 2 ]; then
        return 0
    fi
    say "waiting for the upgrader and the launcher it starts again (at most ${wait_seconds}s)"
    deadline=$((SECONDS + wait_seconds))
    while [ "$SECONDS" -lt "$deadline" ]; do
        if [ "$(record_lines "$record")" -ge 2 ] && [ -z "$(installation_processes "$install")" ]; then
            return 0
        fi
        sleep 0.5
    done
    say "the restarted launcher did not finish within ${wait_seconds}s"
}

if [ "${1:-}" = "--unattended-session" ]; then
    unattended_session "$2" "$3"
    exit 0
fi

self=$(realpath "$0")
cd "$(dirname "$self")/.."
build=build
out=
unattended=0
fail_after=
crashing=0
while [ $# -gt 0 ]; do
    case "$1" in
        --build) build=${2:?--build needs a directory}; shift 2 ;;
        --out) out=${2:?--out needs a directory}; shift 2 ;;
        --unattended) unattended=1; shift ;;
        --fail-after) fail_after=${2:?--fail-after needs a file count}; shift 2 ;;
        --crashing-release) crashing=1; shift ;;
        -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        *) die "unknown argument $1 (see --help)" ;;
    esac
done
# The server, Xvfb and any launcher or upgrader of the demo end with it.
source scripts/processes.sh
tvx_own_processes
build=$(realpath "$build")
out=$(realpath -m "${out:-$build/demo}")
bin=$build/bin

for f in Tarvex tarvex-upgrade tarvex-upgrade-server Upgrade/Upgrade Solutions/libMainFormPlugin.so; do
    [ -e "$bin/$f" ] || die "$bin/$f is missing: build first (scripts/build.sh)"
done
command -v 7z >/dev/null || die "7z is missing (p7zip-full)"
# The publisher's tool lives beside the installation tree, never in it.
release_tool=$build/publisher/tarvex-release
[ -x "$release_tool" ] || die "$release_tool is missing: build first (scripts/build.sh)"
case "$out" in
    / | "$build" | "$bin" | "$(realpath .)") die "refusing to empty $out" ;;
esac

install=$out/install
server=$out/server
record=$out/runs.jsonl
rm -rf "$out"
mkdir -p "$install/Solutions/$module_id" "$install/Upgrade" "$server/packets" "$out/packet" "$out/base" "$out/keys"

say "laying out the installation in $install"
cp "$bin/Tarvex" "$bin/tarvex-upgrade" "$install/"
ln -s "$(command -v 7z)" "$install/7z"
cp "$bin/Upgrade/Upgrade" "$install/Upgrade/"
cp "$bin/Solutions/libMainFormPlugin.so" "$install/Solutions/"

module_files() { # DIR VERSION
    echo "$module_id version $2" >"$1/Solutions/$module_id/module.txt"
    printf 'The demo module of the Tarvex upgrade loop, version %s.\n' "$2" >"$1/Solutions/$module_id/readme.txt"
}
module_files "$install" "$old_version"
cat >"$install/Solutions/SolutionInfo.xml" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<SolutionInfo>
    <SolutionS>
        <Solution id="$module_id" name="Demo module">
            <Version>$old_version</Version>
            <ReleaseDate>202401150900</ReleaseDate>
            <State>1</State>
            <Desc>The demo module of the upgrade loop, installed with version $old_version; point at this text to read all of it</Desc>
            <Size>1</Size>
        </Solution>
    </SolutionS>
</SolutionInfo>
EOF

say "laying out the server directory in $server"
# Version 1.0 as the packet that installed it would have held it: the base
# of the delta.
mkdir -p "$out/base/Solutions/$module_id" "$out/base/Upgrade"
module_files "$out/base" "$old_version"
cp "$bin/Upgrade/Upgrade" "$out/base/Upgrade/"
mkdir -p "$out/packet/Solutions/$module_id" "$out/packet/Upgrade"
module_files "$out/packet" "$new_version"
echo "New in $new_version: this file." >"$out/packet/Solutions/$module_id/whatsnew.txt"
cp "$bin/Upgrade/Upgrade" "$out/packet/Upgrade/"
if [ "$crashing" -eq 1 ]; then
    echo "This release crashes at start." >"$out/packet/Solutions/crash-at-start"
    say "version $new_version is built to crash at start"
fi
packet=$module_id-$new_version.7z

source scripts/devserver.sh
start_server "$bin/tarvex-upgrade-server" "$server" "$key" "$out"
# The server reads its manifest and release document for every query: the
# release is made after it started, so that the icon can be the server's own.
echo 'iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk+M9QDwADhgGAWjR9awAAAABJRU5ErkJggg==' \
    | base64 -d >"$server/packets/$module_id.png"
say "making the signed release with $release_tool"
"$release_tool" keygen --out "$out/keys/release.key" >/dev/null
packed=$("$release_tool" pack --root "$server" --tree "$out/packet" --module "$module_id" --version "$new_version" \
    --release-date 202406010900 --icon-url "$url/packets/$module_id.png" \
    --desc "Version $new_version of the demo module: new texts and one new file, whatsnew.txt" \
    --base-tree "$out/base" --base-version "$old_version")
echo "$packed" | grep -i delta | sed 's/^/  /' || true
"$release_tool" sign --root "$server" --key "$out/keys/release.key"
"$release_tool" verify --root "$server" --public "$out/keys/release.key.pub"
# The same release as a static site for nginx (not started by the demo).
"$release_tool" publish --root "$server" --out "$out/published" --prefix /api --path /upgrade/query \
    --key "$key" --listen 127.0.0.1:8080 >/dev/null
say "static site for nginx in $out/published: nginx -p $out/published -c nginx.conf"
"$install/tarvex-upgrade" trust add --public "$out/keys/release.key.pub"
size_mb=$(sed -n 's/.*"Size": "\(.*\)".*/\1/p' "$server/manifest.json")
say "server listening on $url, offering $module_id $new_version ($packet, $size_mb MB)"

# "test" is one of the names the engine asks over HTTP.
"$install/tarvex-upgrade" servers write --server "test=${url#http://}" --current test \
    --prefix /api --path /upgrade/query --key "$key" >/dev/null
say "server file written: $install/Conf/System/UpgradeServerCluster.xml"

export TARVEX_DEMO_RUN_RECORD=$record
# The new version proves itself healthy after this long (or by returning).
export TARVEX_UPGRADE_HEALTH_SECONDS=${TARVEX_UPGRADE_HEALTH_SECONDS:-5}
(cd "$install" && find . -path ./Log -prune -o -type f -print0 | sort -z | xargs -0 sha256sum) >"$out/before.sha256"
unset TARVEX_DEMO_HANDED_OVER
if [ -n "$fail_after" ]; then
    export TARVEX_UPGRADE_FAIL_AFTER=$fail_after
    say "the upgrader will fail after $fail_after files"
fi

if [ "$unattended" -eq 0 ] && [ -n "${DISPLAY:-}" ]; then
    say "starting the launcher: check for updates, download, then upgrade and restart"
    set +e
    "$install/Tarvex" 2>>"$out/launcher.err"
    code=$?
    set -e
    say "the launcher exited with $code; waiting until every launcher of the demo has ended"
    while [ -n "$(installation_processes "$install")" ]; do sleep 0.5; done
else
    export TARVEX_DEMO_UNATTENDED=1
    run=("$self" --unattended-session "$install" "$record")
    if [ -z "${DISPLAY:-}" ]; then
        command -v xvfb-run >/dev/null || die "no display and no xvfb-run (xvfb)"
        say "no display: running unattended under xvfb-run"
        run=(xvfb-run -a "${run[@]}")
    else
        say "running unattended"
    fi
    tvx_run "${run[@]}"
fi

say "runs of the demo main form ($record):"
sed 's/^/  /' "$record" 2>/dev/null || true
installed=$(sed -n "s:.*<Version>\(.*\)</Version>.*:\1:p" "$install/Solutions/SolutionInfo.xml" | head -n1)
say "installed now: $module_id $installed ($(cat "$install/Solutions/$module_id/module.txt"))"

if [ "$unattended" -eq 0 ] && [ -n "${DISPLAY:-}" ]; then
    if [ "$installed" = "$new_version" ]; then
        say "upgraded to $new_version"
    else
        say "still on $installed: run again and choose Check for updates, Download, then Upgrade and restart"
    fi
    exit 0
fi
last=$(tail -n1 "$record" 2>/dev/null || true)
runs=$(record_lines "$record")
if [ "$runs" -ge 2 ] && [ "$installed" = "$new_version" ] && echo "$last" | grep -q "\"version\":\"$new_version\""; then
    say "the launcher was restarted on version $new_version: the upgrade loop is complete"
    exit 0
fi
if [ "$crashing" -eq 1 ] && [ "$runs" -ge 2 ] && [ "$installed" = "$old_version" ] \
    && echo "$last" | grep -q "\"version\":\"$old_version\""; then
    (cd "$install" && find . \( -path ./Log -o -path ./Conf \) -prune -o -type f -print0 | sort -z \
        | xargs -0 sha256sum) >"$out/after.sha256"
    grep -v ' ./Conf/' "$out/before.sha256" | diff - "$out/after.sha256" >/dev/null \
        || die "the reverted installation differs from version $old_version"
    say "version $new_version crashed at start; the upgrader reverted to $old_version (byte-identical) and started it"
    "$install/tarvex-upgrade" check 2>/dev/null | sed 's/^/  /' || true
    exit 0
fi
if [ -n "$fail_after" ] && [ "$runs" -ge 2 ] && [ "$installed" = "$old_version" ] \
    && echo "$last" | grep -q "\"version\":\"$old_version\""; then
    say "the upgrade failed as asked, was rolled back, and the launcher was restarted on version $old_version"
    exit 0
fi
say "the upgrade loop did not complete; the end of $install/Log/Print.log:"
tail -n 30 "$install/Log/Print.log" 2>/dev/null | sed 's/^/  /' || true
exit 1
