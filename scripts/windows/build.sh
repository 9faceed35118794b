#!/usr/bin/env bash
# Cross-builds Tarvex for 64-bit Windows into build-win/, whose bin/ is laid
# out as an installation: Tarvex.exe, Solutions/MainFormPlugin.dll,
# Upgrade/Upgrade.exe and 7z.exe, each program with the DLLs it loads where
# Windows looks for them (beside it).
# Options: --no-tests (the product only).
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$TVX_ROOT"

tests=ON
[ "${1:-}" = "--no-tests" ] && tests=OFF

bash scripts/windows/qt.sh
# TARVEX_WIN_DEPS_PREFIX: a dependency prefix built before (skips the check).
deps="${TARVEX_WIN_DEPS_PREFIX:-$(bash scripts/windows/deps.sh | tee /dev/stderr | tail -1)}"

dir=build-win
# Results found in another dependency prefix stay cached: start afresh.
if [ -f "$dir/CMakeCache.txt" ] && ! grep -qxF "TVX_WIN_DEPS:UNINITIALIZED=$deps" "$dir/CMakeCache.txt" \
    && ! grep -qxF "TVX_WIN_DEPS:PATH=$deps" "$dir/CMakeCache.txt"; then
    rm -f "$dir/CMakeCache.txt"
fi
cmake -S . -B "$dir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$TVX_WIN_TOOLCHAIN" \
    -DTVX_WIN_QT="$TVX_WIN_QT" -DTVX_WIN_DEPS="$deps" \
    -DCMAKE_PREFIX_PATH="$TVX_WIN_QT" -DOPENSSL_ROOT_DIR="$deps" \
    -DTVX_7Z_PROGRAM="$deps/bin/7z.exe" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTVX_BUILD_TESTS=$tests -DTVX_FAULT_INJECTION=$tests \
    -DTVX_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j "${TARVEX_WIN_JOBS:-2}"

# Windows finds a program's DLLs beside it first; there is no rpath. Copy the
# closure of what each program imports into its directory; what is found in
# none of these places is the system's own.
dll_dirs=("$TVX_WIN_QT/bin" "$deps/bin" "${TVX_WIN_GCC_DLLS[@]%/*}")
declare -A located
locate_dll() {
    local name="$1" d
    for d in "${dll_dirs[@]}"; do
        if [ -f "$d/$name" ]; then echo "$d/$name"; return; fi
    done
}
imports() {
    "$TVX_WIN_TRIPLET-objdump" -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p'
}
# deploy DIR FILE...: copies into DIR every non-system DLL that FILEs need.
deploy() {
    local target="$1"; shift
    local queue=("$@") seen=" " f n p
    while [ ${#queue[@]} -gt 0 ]; do
        f="${queue[0]}"; queue=("${queue[@]:1}")
        for n in $(imports "$f"); do
            case "$seen" in *" ${n,,} "*) continue ;; esac
            seen+="${n,,} "
            p="$(locate_dll "$n")"
            [ -n "$p" ] || continue
            cp -u "$p" "$target/"
            queue+=("$p")
        done
    done
}

bin="$dir/bin"
mkdir -p "$bin/platforms" "$bin/styles" "$bin/imageformats"
cp -u "$TVX_WIN_QT/plugins/platforms/qwindows.dll" "$bin/platforms/"
# The launcher's window icon is an .ico file.
cp -u "$TVX_WIN_QT/plugins/imageformats/qico.dll" "$bin/imageformats/"
cp -u "$TVX_WIN_QT/plugins/styles/"*.dll "$bin/styles/" 2>/dev/null || true
deploy "$bin" "$bin"/*.exe "$bin"/Solutions/*.dll "$bin/platforms/qwindows.dll" "$bin"/styles/*.dll "$bin"/imageformats/*.dll
# The upgrader replaces the files of bin/ while it runs, so it must not load
# them: it carries its own copies.
deploy "$bin/Upgrade" "$bin/Upgrade/Upgrade.exe"
# The publisher's tool, beside the installation.
if [ -d "$dir/publisher" ]; then
    deploy "$dir/publisher" "$dir"/publisher/*.exe
    cp -u "$deps/bin/7z.exe" "$dir/publisher/"
fi
if [ "$tests" = ON ]; then
    for t in "$dir"/tests/bin/*/ "$dir"/tests/plugins/; do
        files=($(compgen -G "$t*.exe" || true) $(compgen -G "$t*.dll" || true))
        [ ${#files[@]} -gt 0 ] || continue
        mkdir -p "$t/platforms" "$t/imageformats"
        cp -u "$TVX_WIN_QT/plugins/platforms/qwindows.dll" "$t/platforms/"
        cp -u "$TVX_WIN_QT/plugins/imageformats/qico.dll" "$t/imageformats/"
        # A test that loads the test plugins needs what they import too; it
        # names them in a QStringLiteral, which is UTF-16 on Windows.
        plugins=()
        if grep -qaP 't\x00e\x00s\x00t\x00s\x00/\x00p\x00l\x00u\x00g\x00i\x00n\x00s\x00/' "${files[@]}"; then
            plugins=($(compgen -G "$dir/tests/plugins/*.dll" || true))
        fi
        deploy "$t" "${files[@]}" "$t/platforms/qwindows.dll" "$t/imageformats/qico.dll" "${plugins[@]}"
        cp -u "$deps/bin/7z.exe" "$t/"
    done
fi
echo "windows/build: $bin"
