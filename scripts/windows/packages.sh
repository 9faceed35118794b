#!/usr/bin/env bash
# Installs the Debian packages the Windows cross-build and the Wine tests need.
set -euo pipefail

packages=(
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    wine64 xvfb xauth
    cmake ninja-build make perl xz-utils dpkg-dev
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "windows/packages: all packages present"
    exit 0
fi

source "$(dirname "$0")/../apt.sh"
echo "windows/packages: installing ${missing[*]}"
tvx_apt_get update -qq
tvx_apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
