# Cross-compiling for Windows x64 with Debian's mingw-w64 (posix threads variant, which
# std::thread needs). Qt comes from the static build scripts/build-windows.sh keeps in its
# cache; pass its prefix as BORVANE_QT_PREFIX, and the prefix of the static libsodium and
# libqrencode built beside it as BORVANE_MINGW_LIBS.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(BORVANE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${BORVANE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BORVANE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${BORVANE_MINGW_TRIPLE}-windres)

# Try-compiles inherit the toolchain but not the cache: hand the prefix on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES BORVANE_QT_PREFIX BORVANE_MINGW_LIBS)
set(CMAKE_FIND_ROOT_PATH /usr/${BORVANE_MINGW_TRIPLE} ${BORVANE_QT_PREFIX} ${BORVANE_MINGW_LIBS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config would hand out the build machine's Linux libraries: it sees only the static Qt and
# the libraries built for mingw-w64.
set(ENV{PKG_CONFIG_LIBDIR} "${BORVANE_QT_PREFIX}/lib/pkgconfig:${BORVANE_MINGW_LIBS}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Tests run under Wine when the build runs them.
find_program(BORVANE_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(BORVANE_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${BORVANE_WINE})
endif()
