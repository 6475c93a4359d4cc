# Shared by the MinGW-w64 toolchain files: cross-compiling for Windows from a
# Debian host. The caller sets BRIGHTWICK_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR.
#
# The -win32 thread-model compilers are used on purpose: the -posix ones would
# make every executable import winpthreads, a DLL Windows does not ship.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${BRIGHTWICK_MINGW_TRIPLE}-gcc-win32)
set(CMAKE_CXX_COMPILER ${BRIGHTWICK_MINGW_TRIPLE}-g++-win32)
set(CMAKE_RC_COMPILER ${BRIGHTWICK_MINGW_TRIPLE}-windres)

# Libraries and headers come from the target's sysroot (zlib from
# libz-mingw-w64-dev) and from prefixes the build adds to this list (libcurl);
# programs that run during the build come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${BRIGHTWICK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
