#!/usr/bin/env bash
# Installs the Debian 12 packages that Tarvex needs to build, test and run,
# on any Debian 12 down to a minimal one (debootstrap --variant=minbase).
set -euo pipefail

packages=(
    g++ cmake ninja-build pkg-config
    qtbase5-dev qtbase5-dev-tools
    libcurl4-openssl-dev libssl-dev openssl
    libjsoncpp-dev libspdlog-dev libcpp-httplib-dev libzstd-dev
    p7zip-full curl
    nginx-light libnginx-mod-http-js
    xvfb xauth
    # A minimal Debian has no CA store: libcurl then fails every HTTPS
    # request with error 77 before it connects.
    ca-certificates
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all packages present"
    exit 0
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "install-deps: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
