#!/usr/bin/env bash
# Runs the README's two commands on a truly fresh Debian 12: a minimal root made
# with "debootstrap --variant=minbase bookworm", entered with chroot, holding a
# clone of this repository and nothing else.
#
#   1. ./scripts/run-demo.sh   must end with the launcher restarted on 2.0;
#   2. ./scripts/run-tests.sh  must pass.
#
# The root is not bind-mounted onto itself: its "/" is not a mount point, as in
# many containers, which is the case the free-space check must get right.
# /proc, /sys and /dev are mounted into it and unmounted whatever happens.
#
# The minbase tarball that debootstrap downloads is cached (it holds only what
# debootstrap itself installs), by default in /var/cache/tarvex-ci
# (TARVEX_CI_CACHE names another).
#
# Usage: scripts/fresh-debian.sh [--cache DIR] [--keep]
#   --cache DIR   where the minbase tarball is kept between runs
#   --keep        leave the root behind (its path is printed) for a look inside
# Needs root.
set -euo pipefail

say() { echo "fresh-debian: $*"; }
die() { echo "fresh-debian: $*" >&2; exit 1; }

cache=${TARVEX_CI_CACHE:-/var/cache/tarvex-ci}
keep=0
while [ $# -gt 0 ]; do
    case "$1" in
        --cache) cache=${2:?--cache needs a directory}; shift 2 ;;
        --keep) keep=1; shift ;;
        -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        *) die "unknown argument $1 (see --help)" ;;
    esac
done
[ "$(id -u)" -eq 0 ] || die "needs root (debootstrap, chroot and mount)"
source "$(dirname "$0")/processes.sh"
tvx_own_processes

repo=$(cd "$(dirname "$0")/.." && git rev-parse --show-toplevel)

# The mirror this machine already uses for Debian itself.
mirror=$(sed -n 's/^URIs:[[:space:]]*\(http[^ ]*\/debian\)\/\{0,1\}[[:space:]]*$/\1/p' \
    /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n1)
if [ -z "$mirror" ]; then
    mirror=$(sed -n 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\{0,1\}\(http[^ ]*\/debian\)\/\{0,1\}[[:space:]]\+bookworm[[:space:]].*/\2/p' \
        /etc/apt/sources.list 2>/dev/null | head -n1)
fi
mirror=${mirror:-http://deb.debian.org/debian}

if ! command -v debootstrap >/dev/null; then
    say "installing debootstrap"
    source "$(dirname "$0")/apt.sh"
    tvx_apt_get update -qq
    tvx_apt_get install -y -qq --no-install-recommends debootstrap >/dev/null
fi

mkdir -p "$cache"
tarball=$cache/bookworm-minbase.tgz
if [ ! -s "$tarball" ]; then
    say "making the minbase tarball from $mirror (cached in $tarball)"
    scratch=$(mktemp -d "$cache/make.XXXXXX")
    tvx_at_exit 'rm -rf "$scratch"'
    debootstrap --variant=minbase --make-tarball="$scratch/minbase.tgz" bookworm "$scratch/root" "$mirror" \
        >"$scratch/log" 2>&1 || { tail -n 20 "$scratch/log" >&2; die "debootstrap --make-tarball failed"; }
    mv "$scratch/minbase.tgz" "$tarball"
fi

root=$(mktemp -d /var/tmp/tarvex-fresh.XXXXXX)
# mktemp makes it 0700; as "/" it must be 0755 like any root, or services that
# drop privileges (nginx's workers run as nobody) can reach no file at all.
chmod 755 "$root"
mounted=()

# Processes started inside the root (a server, Xvfb) would keep its mounts busy.
kill_inside() {
    local link pid
    for link in /proc/[0-9]*/root; do
        [ "$(readlink "$link" 2>/dev/null)" = "$root" ] || continue
        pid=${link#/proc/}
        kill -9 "${pid%/root}" 2>/dev/null || true
    done
}

# Runs once every process of this script has ended.
cleanup() {
    local i
    rm -f "$root.log"
    kill_inside
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount -R "${mounted[i]}" 2>/dev/null || umount -R -l "${mounted[i]}"
    done
    # Never remove a tree while anything is still mounted below it: with /dev
    # bound in, that would empty the machine's own /dev.
    if findmnt -rn -o TARGET | grep -q "^$root\(/\|$\)"; then
        echo "fresh-debian: something is still mounted below $root; left in place" >&2
    elif [ "$keep" -eq 1 ]; then
        say "root kept in $root"
    else
        rm -rf --one-file-system "$root"
    fi
}
tvx_at_exit cleanup

say "unpacking a minimal Debian 12 into $root"
debootstrap --variant=minbase --unpack-tarball="$tarball" bookworm "$root" "$mirror" >"$root.log" 2>&1 \
    || { tail -n 20 "$root.log" >&2; die "debootstrap failed"; }
rm -f "$root.log"
cp /etc/resolv.conf "$root/etc/resolv.conf"

mount -t proc proc "$root/proc" && mounted+=("$root/proc")
mount -t sysfs sysfs "$root/sys" && mounted+=("$root/sys")
mount --rbind /dev "$root/dev" && mount --make-rslave "$root/dev" && mounted+=("$root/dev")

say "cloning the repository into the root"
git clone -q --no-hardlinks "$repo" "$root/tarvex"

# A clean environment but for the marks by which the processes of this run
# are found again.
inside() {
    chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        TARVEX_PROCESS_MARKS="$TARVEX_PROCESS_MARKS" \
        bash -c "cd /tarvex && $1"
}

say "1/2: ./scripts/run-demo.sh"
tvx_run inside ./scripts/run-demo.sh
say "2/2: ./scripts/run-tests.sh"
tvx_run inside ./scripts/run-tests.sh
say "both commands passed on a fresh minimal Debian 12"
