# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (posix threads).
# TVX_WIN_QT and TVX_WIN_DEPS (cache or environment) name the prefixes that
# hold the cross-built Qt and the other libraries; find_* searches them and
# the MinGW sysroot, never the host's own libraries.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TVX_WIN_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TVX_WIN_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TVX_WIN_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TVX_WIN_TRIPLET}-windres)

foreach(var TVX_WIN_QT TVX_WIN_DEPS)
    if(NOT ${var} AND DEFINED ENV{${var}})
        set(${var} "$ENV{${var}}")
    endif()
endforeach()
# try_compile projects read this file again and only see what is listed here.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TVX_WIN_QT TVX_WIN_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/${TVX_WIN_TRIPLET})
foreach(prefix ${TVX_WIN_QT} ${TVX_WIN_DEPS})
    list(APPEND CMAKE_FIND_ROOT_PATH ${prefix})
endforeach()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config must read the .pc files of the cross-built libraries only.
if(TVX_WIN_DEPS)
    set(ENV{PKG_CONFIG_LIBDIR} "${TVX_WIN_DEPS}/lib/pkgconfig:${TVX_WIN_DEPS}/share/pkgconfig")
    set(ENV{PKG_CONFIG_PATH} "")
endif()
