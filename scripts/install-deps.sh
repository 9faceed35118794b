#!/usr/bin/env bash
# Installs the Debian 12 packages that Tarvex needs to build, test and run,
# on any Debian 12 down to a minimal one (debootstrap --variant=minbase).
set -euo pipefail

packages=(
    g++ cmake ninja-build pkg-config
    qtbase5-dev qtbase5-dev-tools
    libcurl4-openssl-dev libssl-dev openssl
    libjsoncpp-dev libspdlog-dev libcpp-httplib-dev libzstd-dev zlib1g-dev
    p7zip-full curl
    nginx-light libnginx-mod-http-js
    xvfb xauth
    # A minimal Debian has no CA store: libcurl then fails every HTTPS
    # request with error 77 before it connects.
    ca-certificates
    # Object storage for the publishing tests: OpenStack Swift with its s3api
    # middleware, and the memcached it needs, all started by the tests.
    swift-proxy swift-account swift-container swift-object memcached
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all packages present"
    exit 0
fi

source "$(dirname "$0")/apt.sh"
echo "install-deps: installing ${missing[*]}"
tvx_apt_get update -qq
tvx_apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
