#!/usr/bin/env bash
# The whole upgrade loop of the Windows build under Wine, unattended:
#
#   1. copies the installation of build-win/bin (Tarvex.exe, 7z.exe,
#      tarvex-upgrade.exe, Upgrade/Upgrade.exe, Solutions/MainFormPlugin.dll
#      and their DLLs) into OUT/install, with SolutionInfo.xml recording
#      version 1.0 of DemoModule;
#   2. starts the native tarvex-upgrade-server of build/ on 127.0.0.1 and
#      makes there, with the native tarvex-release, a signed release of
#      version 2.0 whose packet carries the new module files and the Windows
#      upgrader (Upgrade/ with its DLLs), and a delta from 1.0 to 2.0;
#   3. makes the installation trust the key and writes its server file, with
#      the installation's own tarvex-upgrade.exe under Wine;
#   4. runs "wine Tarvex.exe" under xvfb-run: the demo main form checks,
#      downloads, hands over to Upgrade.exe, which upgrades and starts
#      Tarvex.exe again, which must run on version 2.0, reached by the delta.
#
# Usage: scripts/windows/demo.sh [--out DIR]   (default: build-win/demo)
# Exits 0 when the launcher came back on version 2.0.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$TVX_ROOT"

readonly module_id=DemoModule
readonly old_version=1.0
readonly new_version=2.0
readonly key=demo-key
readonly wait_seconds=${TARVEX_WIN_DEMO_TIMEOUT:-300}

say() { echo "windows/demo: $*"; }
die() { echo "windows/demo: $*" >&2; exit 1; }

out=$TVX_ROOT/build-win/demo
while [ $# -gt 0 ]; do
    case "$1" in
        --out) out=${2:?--out needs a directory}; shift 2 ;;
        -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        *) die "unknown argument $1 (see --help)" ;;
    esac
done
# The server, Xvfb, Wine's server and the Windows programs end with it.
source "$TVX_ROOT/scripts/processes.sh"
tvx_own_processes
out=$(realpath -m "$out")
win_bin=$TVX_ROOT/build-win/bin
native_bin=${TARVEX_NATIVE_BUILD:-$TVX_ROOT/build}/bin
native_release=${TARVEX_NATIVE_BUILD:-$TVX_ROOT/build}/publisher/tarvex-release
for f in Tarvex.exe tarvex-upgrade.exe 7z.exe Upgrade/Upgrade.exe Solutions/MainFormPlugin.dll platforms/qwindows.dll; do
    [ -e "$win_bin/$f" ] || die "$win_bin/$f is missing: run scripts/windows/build.sh first"
done
for f in "$native_bin/tarvex-upgrade-server" "$native_release"; do
    [ -x "$f" ] || die "$f is missing: build natively first (scripts/build.sh)"
done
case "$out" in
    / | "$TVX_ROOT" | "$TVX_ROOT/build-win" | "$win_bin") die "refusing to empty $out" ;;
esac

tvx_win_prepare_wine
# Wine reaches the whole Unix file system as drive Z:.
winpath() { echo "Z:$1"; }
wine_run() { "$TVX_WINE" "$@"; }

install=$out/install
server=$out/server
record=$out/runs.jsonl
rm -rf "$out"
mkdir -p "$server/packets" "$out/packet" "$out/keys"

say "copying the installation into $install"
cp -r "$win_bin" "$install"
rm -rf "$install/Log" "$install/Conf" "$install/Tmp"
mkdir -p "$install/Solutions/$module_id"
module_files() { # DIR VERSION
    echo "$module_id version $2" >"$1/Solutions/$module_id/module.txt"
    printf 'The demo module of the Tarvex upgrade loop, version %s.\n' "$2" >"$1/Solutions/$module_id/readme.txt"
}
module_files "$install" "$old_version"
cat >"$install/Solutions/SolutionInfo.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<SolutionInfo>
    <SolutionS>
        <Solution id="$module_id" name="Demo module">
            <Version>$old_version</Version>
            <ReleaseDate>202401150900</ReleaseDate>
            <State>1</State>
            <Desc>The demo module of the upgrade loop, installed with version $old_version</Desc>
            <Size>1</Size>
        </Solution>
    </SolutionS>
</SolutionInfo>
XML

say "laying out the packet and the server directory in $server"
mkdir -p "$out/packet/Solutions/$module_id"
module_files "$out/packet" "$new_version"
echo "New in $new_version: this file." >"$out/packet/Solutions/$module_id/whatsnew.txt"
cp -r "$win_bin/Upgrade" "$out/packet/Upgrade"
# Version 1.0 as the packet that installed it would have held it: the base
# of the delta that the download takes instead of the full packet.
mkdir -p "$out/base/Solutions/$module_id"
module_files "$out/base" "$old_version"
cp -r "$win_bin/Upgrade" "$out/base/Upgrade"

source "$TVX_ROOT/scripts/devserver.sh"
start_server "$native_bin/tarvex-upgrade-server" "$server" "$key" "$out"

say "making the signed release with $native_release"
"$native_release" keygen --out "$out/keys/release.key" >/dev/null
"$native_release" pack --root "$server" --tree "$out/packet" --module "$module_id" --version "$new_version" \
    --release-date 202406010900 --desc "Version $new_version of the demo module, for Windows" \
    --base-tree "$out/base" --base-version "$old_version" >/dev/null
"$native_release" sign --root "$server" --key "$out/keys/release.key"
"$native_release" verify --root "$server" --public "$out/keys/release.key.pub"

say "trusting the key and writing the server file with tarvex-upgrade.exe under Wine"
(cd "$install" && wine_run tarvex-upgrade.exe trust add --public "$(winpath "$out/keys/release.key.pub")") \
    >"$out/trust.out" 2>&1 || { cat "$out/trust.out" >&2; die "tarvex-upgrade.exe trust add failed"; }
(cd "$install" && wine_run tarvex-upgrade.exe servers write --server "test=${url#http://}" --current test \
    --prefix /api --path /upgrade/query --key "$key") >"$out/servers.out" 2>&1 \
    || { cat "$out/servers.out" >&2; die "tarvex-upgrade.exe servers write failed"; }
[ -f "$install/Conf/System/UpgradeServerCluster.xml" ] || die "no server file was written"
say "server listening on $url, offering $module_id $new_version"

export TARVEX_DEMO_RUN_RECORD
TARVEX_DEMO_RUN_RECORD=$(winpath "$record")
export TARVEX_DEMO_UNATTENDED=1
export TARVEX_UPGRADE_HEALTH_SECONDS=${TARVEX_UPGRADE_HEALTH_SECONDS:-5}
unset TARVEX_DEMO_HANDED_OVER QT_QPA_PLATFORM

say "running wine Tarvex.exe under xvfb-run: check, download, hand-over, relaunch"
# One display for the launcher, the upgrader and the relaunched launcher:
# wineserver -w returns when the last process of the prefix has ended.
session="cd '$install' && '$TVX_WINE' Tarvex.exe; echo \"first launcher exit code \$?\";
         timeout $wait_seconds '$(dirname "$TVX_WINE")/wineserver' -w"
set +e
tvx_run timeout $((wait_seconds + 60)) xvfb-run -a bash -c "$session" >"$out/wine.out" 2>"$out/wine.err"
code=$?
set -e
sed -n 's/^first launcher exit code/the first launcher exited with/p' "$out/wine.out" | sed 's/^/windows\/demo: /'
[ $code -eq 0 ] || say "the session ended with $code"

say "runs of the demo main form ($record):"
sed 's/^/  /' "$record" 2>/dev/null || true
installed=$(sed -n "s:.*<Version>\(.*\)</Version>.*:\1:p" "$install/Solutions/SolutionInfo.xml" | head -n1)
say "installed now: $module_id $installed ($(cat "$install/Solutions/$module_id/module.txt" | tr -d '\r'))"
runs=$(grep -c '"outcome"' "$record" 2>/dev/null || echo 0)
last=$(tail -n1 "$record" 2>/dev/null || true)
if [ "$runs" -ge 2 ] && [ "$installed" = "$new_version" ] && echo "$last" | grep -q "\"version\":\"$new_version\"" \
    && [ -f "$install/Solutions/$module_id/whatsnew.txt" ]; then
    grep -h "came as a delta\|not used" "$out/wine.out" "$out/wine.err" 2>/dev/null | tr -d '\r' | sed 's/^/  /' || true
    # The delta path is the one to prove here: a fallback would hide a Windows fault in it.
    grep -q "came as a delta" "$out/wine.out" "$out/wine.err" 2>/dev/null \
        || die "version $new_version came as the full packet, not as the delta offered"
    say "Tarvex.exe was restarted on version $new_version under Wine: the upgrade loop is complete"
    exit 0
fi
say "the upgrade loop did not complete; the end of $install/Log/Print.log:"
tail -n 30 "$install/Log/Print.log" 2>/dev/null | sed 's/^/  /' || true
exit 1
