#!/usr/bin/env bash
# Builds the libraries and tools Tarvex needs on Windows (OpenSSL, libcurl,
# jsoncpp, spdlog, zstd, 7-Zip) for x86_64-w64-mingw32 from Debian's own source
# packages, into a cache directory keyed by their versions and by this
# script, so a second run on the same machine only checks.
# Prints the prefix of the result as its last line.
set -euo pipefail
source "$(dirname "$0")/common.sh"
jobs="${TARVEX_WIN_JOBS:-2}"

bash "$TVX_ROOT/scripts/windows/packages.sh"

# A private apt configuration: a deb-src entry for each deb entry of the
# machine, and lists of our own, so the machine's apt setup stays untouched.
apt_dir="$TVX_WIN_CACHE/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/sources.list.d"
{
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$f"
    done
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        # One deb822 stanza per paragraph; keep those of type deb.
        awk 'BEGIN { RS=""; FS="\n" }
             { t=""; u=""; s=""; c=""; k="";
               for (i = 1; i <= NF; i++) {
                   if ($i ~ /^Types:/) t=$i; else if ($i ~ /^URIs:/) u=$i;
                   else if ($i ~ /^Suites:/) s=$i; else if ($i ~ /^Components:/) c=$i;
                   else if ($i ~ /^Signed-By:/) k=$i }
               if (t !~ /[[:space:]]deb([[:space:]]|$)/ || u == "") next;
               sub(/^URIs:[[:space:]]*/, "", u); sub(/^Suites:[[:space:]]*/, "", s);
               sub(/^Components:[[:space:]]*/, "", c); sub(/^Signed-By:[[:space:]]*/, "", k);
               n = split(s, suites, /[[:space:]]+/);
               for (j = 1; j <= n; j++)
                   printf "deb-src %s%s %s %s\n", (k != "" ? "[signed-by=" k "] " : ""), u, suites[j], c }' "$f"
    done
} > "$apt_dir/sources.list"
apt_opts=(
    -o "Dir::Etc::SourceList=$apt_dir/sources.list"
    -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
    -o "Dir::State::Lists=$apt_dir/lists"
    -o "Dir::Cache=$apt_dir/cache"
    -o "Debug::NoLocking=1"
    -o "APT::Sandbox::User=root"
)
src_dir="$TVX_WIN_CACHE/src"
mkdir -p "$src_dir"
log_dir="$TVX_WIN_CACHE/logs"
mkdir -p "$log_dir"
# Offline, the lists of the last run still name what the cache holds.
if ! apt-get "${apt_opts[@]}" -qq update > "$log_dir/apt-update.log" 2>&1; then
    if compgen -G "$apt_dir/lists/*Sources*" > /dev/null; then
        echo "windows/deps: apt-get update failed (see $log_dir/apt-update.log); using the lists of the last run" >&2
    else
        echo "windows/deps: apt-get update failed, see $log_dir/apt-update.log" >&2
        exit 1
    fi
fi

# Each source with the binary package whose version this machine runs
# natively: the same version is built for Windows where the mirror still has
# it, else the newest one it serves.
sources=(openssl curl libjsoncpp fmtlib spdlog libzstd p7zip)
declare -A native=([openssl]=libssl-dev [curl]=libcurl4-openssl-dev [libjsoncpp]=libjsoncpp-dev
                   [fmtlib]=libfmt-dev [spdlog]=libspdlog-dev [libzstd]=libzstd-dev [p7zip]=p7zip-full)
declare -A dsc
fetch() {
    local s="$1" v
    local versions=()
    v="$(dpkg-query -W -f='${source:Version}' "${native[$s]}" 2>/dev/null || true)"
    [ -n "$v" ] && versions+=("$v")
    while read -r v; do versions+=("$v"); done < <(apt-cache "${apt_opts[@]}" showsrc --only-source "$s" \
        | sed -n 's/^Version: //p' | sort -ruV)
    for v in "${versions[@]}"; do
        local f; f="$src_dir/${s}_${v#*:}.dsc"
        if [ -f "$f" ] || (cd "$src_dir" && apt-get "${apt_opts[@]}" -qq source --download-only "$s=$v" >> "$log_dir/apt-source.log" 2>&1); then
            dsc[$s]="$f"
            return 0
        fi
    done
    echo "windows/deps: no version of the source package $s could be fetched, see $log_dir/apt-source.log" >&2
    exit 1
}
for s in "${sources[@]}"; do fetch "$s"; done

# The prefix is keyed by the source versions; each step inside it by its own
# recipe, so changing one recipe rebuilds that library alone.
key="$( { for s in "${sources[@]}"; do basename "${dsc[$s]}"; done; } | sha256sum | cut -c1-16)"
prefix="$TVX_WIN_CACHE/deps-$key"
work="$TVX_WIN_CACHE/work-$key"

# A machine that has built nothing for this key yet starts from the prebuilt
# dependencies of the same key, when they lie beside the Qt archive. Their
# stamps then decide as if they had been built here: a changed recipe still
# rebuilds its own library, and nothing else.
prebuilt="$TVX_WIN_DEPS_ARCHIVE_DIR/win-deps-$key.tar.xz"
if ! compgen -G "$prefix/.done-*" > /dev/null && [ -f "$prebuilt" ]; then
    echo "windows/deps: unpacking the prebuilt dependencies $prebuilt"
    unpacked="$(mktemp -d "$TVX_WIN_CACHE/deps-$key.XXXXXX")"
    tar -C "$unpacked" -xJf "$prebuilt"
    if [ ! -d "$unpacked/deps-$key" ]; then
        echo "windows/deps: $prebuilt holds no deps-$key/" >&2
        rm -rf "$unpacked"
        exit 1
    fi
    # pkg-config files and curl-config name the prefix they were built for.
    built_for="$(sed -n 's/^prefix=//p' "$unpacked/deps-$key"/lib/pkgconfig/*.pc 2>/dev/null | head -1)"
    if [ -n "$built_for" ] && [ "$built_for" != "$prefix" ]; then
        { grep -rlIF -- "$built_for" "$unpacked/deps-$key" || true; } | while read -r f; do
            BUILT_FOR="$built_for" PREFIX="$prefix" perl -pi -e 's/\Q$ENV{BUILT_FOR}\E/$ENV{PREFIX}/g' "$f"
        done
    fi
    rm -rf "$prefix"
    mv "$unpacked/deps-$key" "$prefix"
    rmdir "$unpacked"
fi
mkdir -p "$prefix" "$work"
summary=()

# Unpacks the source package with Debian's patches applied; prints its directory.
unpack() {
    local s="$1" d="$work/$1"
    if [ ! -d "$d" ]; then
        rm -rf "$d.tmp"
        dpkg-source --no-check --skip-patches -x "${dsc[$s]}" "$d.tmp" > "$log_dir/$s-unpack.log" 2>&1
        # Debian's patches, but for p7zip's Linux command-line compatibility
        # ones, which do not build for Windows (Windows 7-Zip never had them).
        if [ -f "$d.tmp/debian/patches/series" ]; then
            local patch
            for patch in $(sed -e 's/#.*//' "$d.tmp/debian/patches/series"); do
                case "$patch" in p7zip-compat-*) continue ;; esac
                patch -d "$d.tmp" -p1 -s < "$d.tmp/debian/patches/$patch" >> "$log_dir/$s-unpack.log" 2>&1
            done
        fi
        mv "$d.tmp" "$d"
    fi
    echo "$d"
}

# step NAME FUNCTION: runs FUNCTION unless the stamp of NAME holds its recipe
# already; logs to $log_dir/NAME.log.
step() {
    local name="$1"; shift
    local recipe
    recipe="$( { declare -f "$1" unpack cmake_cross; echo "${TARVEX_WIN_7Z_BUNDLE:-Alone7z}"; cat "$TVX_WIN_TOOLCHAIN"; } | sha256sum | cut -c1-16)"
    if [ "$(cat "$prefix/.done-$name" 2>/dev/null)" = "$recipe" ]; then
        summary+=("$name: cached")
        return
    fi
    local t0=$SECONDS
    echo "windows/deps: building $name (log: $log_dir/$name.log)"
    # A subshell outside any condition, so that set -e stops at the first failing command.
    set +e
    ( set -e; "$@" ) > "$log_dir/$name.log" 2>&1
    local rc=$?
    set -e
    if [ $rc -ne 0 ]; then
        echo "windows/deps: $name failed after $((SECONDS - t0)) s; last lines of $log_dir/$name.log:" >&2
        tail -20 "$log_dir/$name.log" >&2
        exit 1
    fi
    echo "$recipe" > "$prefix/.done-$name"
    summary+=("$name: built in $((SECONDS - t0)) s")
}

cmake_cross() {
    cmake -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TVX_WIN_TOOLCHAIN" -DTVX_WIN_DEPS="$prefix" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" "$@"
}

build_openssl() {
    local d; d="$(unpack openssl)"
    cd "$d"
    # Libraries only, without what neither we nor libcurl's HTTPS use: most
    # of the build time is spent on algorithms nobody calls.
    ./Configure mingw64 --cross-compile-prefix=$TVX_WIN_TRIPLET- --prefix="$prefix" --libdir=lib \
        shared no-tests no-module no-legacy no-makedepend \
        no-aria no-bf no-camellia no-cast no-idea no-mdc2 no-rc2 no-rc4 no-rc5 no-seed \
        no-sm2 no-sm3 no-sm4 no-whirlpool no-siphash no-srp no-gost no-ssl3 no-dtls no-comp \
        no-ts no-cms no-ct no-cmp
    make -j"$jobs" build_libs
    make install_dev install_runtime_libs
}

build_curl() {
    local d; d="$(unpack curl)"
    rm -rf "$d/build-win"
    cmake_cross -S "$d" -B "$d/build-win" \
        -DBUILD_SHARED_LIBS=ON -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF \
        -DCURL_USE_OPENSSL=ON -DOPENSSL_ROOT_DIR="$prefix" -DHTTP_ONLY=ON \
        -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF -DUSE_LIBIDN2=OFF \
        -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBPSL=OFF -DCURL_DISABLE_LDAP=ON -DENABLE_UNIX_SOCKETS=OFF \
        -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none
    cmake --build "$d/build-win" -j "$jobs"
    cmake --install "$d/build-win"
}

build_jsoncpp() {
    local d; d="$(unpack libjsoncpp)"
    rm -rf "$d/build-win"
    cmake_cross -S "$d" -B "$d/build-win" \
        -DBUILD_SHARED_LIBS=ON -DBUILD_STATIC_LIBS=OFF -DBUILD_OBJECT_LIBS=OFF \
        -DJSONCPP_WITH_TESTS=OFF -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF -DJSONCPP_WITH_EXAMPLE=OFF
    cmake --build "$d/build-win" -j "$jobs"
    cmake --install "$d/build-win"
}

build_fmt() {
    local d; d="$(unpack fmtlib)"
    rm -rf "$d/build-win"
    cmake_cross -S "$d" -B "$d/build-win" \
        -DBUILD_SHARED_LIBS=OFF -DFMT_TEST=OFF -DFMT_DOC=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON
    cmake --build "$d/build-win" -j "$jobs"
    cmake --install "$d/build-win"
}

build_spdlog() {
    local d; d="$(unpack spdlog)"
    rm -rf "$d/build-win"
    cmake_cross -S "$d" -B "$d/build-win" \
        -DSPDLOG_BUILD_SHARED=OFF -DSPDLOG_BUILD_EXAMPLE=OFF -DSPDLOG_BUILD_TESTS=OFF \
        -DSPDLOG_BUILD_BENCH=OFF -DSPDLOG_FMT_EXTERNAL=ON -DCMAKE_POSITION_INDEPENDENT_CODE=ON
    cmake --build "$d/build-win" -j "$jobs"
    cmake --install "$d/build-win"
}

build_zstd() {
    local d; d="$(unpack libzstd)"
    rm -rf "$d/build-win"
    cmake_cross -S "$d/build/cmake" -B "$d/build-win" \
        -DZSTD_BUILD_SHARED=ON -DZSTD_BUILD_STATIC=OFF -DZSTD_BUILD_PROGRAMS=OFF -DZSTD_BUILD_TESTS=OFF \
        -DZSTD_BUILD_CONTRIB=OFF -DZSTD_LEGACY_SUPPORT=OFF -DZSTD_MULTITHREAD_SUPPORT=ON
    cmake --build "$d/build-win" -j "$jobs"
    cmake --install "$d/build-win"
}

build_7zip() {
    local d; d="$(unpack p7zip)"
    # Alone7z is the console 7-Zip with the 7z format only, which is all a
    # packet is; TARVEX_WIN_7Z_BUNDLE=Alone2 builds the one with every format.
    local bundle="${TARVEX_WIN_7Z_BUNDLE:-Alone7z}"
    cd "$d/CPP/7zip/Bundles/$bundle"
    rm -rf _o
    # MSYSTEM makes the makefile use rm and mkdir -p instead of del and mkdir.
    make -j"$jobs" -f makefile.gcc IS_MINGW=1 MSYSTEM=1 IS_X64=1 \
        CC=$TVX_WIN_TRIPLET-gcc-posix CXX=$TVX_WIN_TRIPLET-g++-posix RC=$TVX_WIN_TRIPLET-windres \
        CFLAGS_WARN_WALL="-Wall -Wextra"
    mkdir -p "$prefix/bin"
    install -m 755 _o/*.exe "$prefix/bin/7z.exe"
}

step openssl build_openssl
step curl build_curl
step jsoncpp build_jsoncpp
step fmt build_fmt
step spdlog build_spdlog
step zstd build_zstd
step 7zip build_7zip

ln -sfn "$(basename "$prefix")" "$TVX_WIN_CACHE/deps"
printf 'windows/deps: %s\n' "${summary[@]}"
echo "$prefix"
