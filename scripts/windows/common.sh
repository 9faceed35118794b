# Shared settings of the Windows cross-build scripts (sourced, not run).
TVX_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
TVX_WIN_CACHE="${TARVEX_WIN_CACHE:-/var/cache/tarvex-ci/win}"
TVX_WIN_TRIPLET=x86_64-w64-mingw32
TVX_WIN_TOOLCHAIN="$TVX_ROOT/scripts/windows/toolchain.cmake"
TVX_WIN_QT_ARCHIVE="${TARVEX_WIN_QT_ARCHIVE:-$TVX_ROOT/../shared/toolchains/qt5-mingw64.tar.xz}"
TVX_WIN_QT="$TVX_WIN_CACHE/qt5"
# Runtime DLLs of the compiler itself, which every program needs beside it.
TVX_WIN_GCC_DLLS=(
    /usr/lib/gcc/x86_64-w64-mingw32/12-posix/libstdc++-6.dll
    /usr/lib/gcc/x86_64-w64-mingw32/12-posix/libgcc_s_seh-1.dll
    /usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll
)
mkdir -p "$TVX_WIN_CACHE"
