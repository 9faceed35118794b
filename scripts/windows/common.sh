# Shared settings of the Windows cross-build scripts (sourced, not run).
TVX_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
# The machine's cache where this user may write to it, else the user's own.
if [ -n "${TARVEX_WIN_CACHE:-}" ]; then
    TVX_WIN_CACHE="$TARVEX_WIN_CACHE"
elif mkdir -p "${TARVEX_CI_CACHE:-/var/cache/tarvex-ci}/win" 2>/dev/null \
        && [ -w "${TARVEX_CI_CACHE:-/var/cache/tarvex-ci}/win" ]; then
    TVX_WIN_CACHE="${TARVEX_CI_CACHE:-/var/cache/tarvex-ci}/win"
else
    TVX_WIN_CACHE="${XDG_CACHE_HOME:-$HOME/.cache}/tarvex-ci/win"
fi
TVX_WIN_TRIPLET=x86_64-w64-mingw32
TVX_WIN_TOOLCHAIN="$TVX_ROOT/scripts/windows/toolchain.cmake"
TVX_WIN_QT_ARCHIVE="${TARVEX_WIN_QT_ARCHIVE:-$TVX_ROOT/../shared/toolchains/qt5-mingw64.tar.xz}"
TVX_WIN_QT="$TVX_WIN_CACHE/qt5"
# Prebuilt dependencies (win-deps-<key>.tar.xz) are looked for beside the Qt archive.
TVX_WIN_DEPS_ARCHIVE_DIR="$(dirname "$TVX_WIN_QT_ARCHIVE")"
# Runtime DLLs of the compiler itself, which every program needs beside it.
TVX_WIN_GCC_DLLS=(
    /usr/lib/gcc/x86_64-w64-mingw32/12-posix/libstdc++-6.dll
    /usr/lib/gcc/x86_64-w64-mingw32/12-posix/libgcc_s_seh-1.dll
    /usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll
)
mkdir -p "$TVX_WIN_CACHE"

TVX_WINE=/usr/lib/wine/wine64
# Sets up the environment for running programs under Wine: a prefix of this
# user's own (Wine refuses one that another user owns), made on first use.
tvx_win_prepare_wine() {
    export WINEPREFIX="$TVX_WIN_CACHE/wineprefix-$(id -u)"
    export WINEDEBUG=-all
    # No Mono or Gecko install prompts in a new prefix.
    export WINEDLLOVERRIDES="mscoree,mshtml="
    if [ ! -d "$WINEPREFIX/drive_c" ]; then
        echo "windows: creating the Wine prefix $WINEPREFIX"
        timeout 300 xvfb-run -a "$TVX_WINE" wineboot --init >/dev/null 2>&1 || true
    fi
}
