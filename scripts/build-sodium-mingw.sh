#!/usr/bin/env bash
# Builds a static libsodium for Windows from Debian's own libsodium source
# package and prints the install prefix on its last line of output.
#
#   scripts/build-sodium-mingw.sh i686|x86_64
#
# libsodium for MinGW is not packaged. This one is the minimal build (Ed25519
# signatures, SHA-256 and the rest of the high-level API the updater needs),
# compiled for Windows XP (_WIN32_WINNT=0x0501) so nothing newer than XP is
# imported. The result is cached outside the checkout, under
# ${XDG_CACHE_HOME:-~/.cache}/brightwick/sodium-ARCH-VERSION, and reused as
# long as the recipe below is unchanged. The prefix holds a CMake package
# (lib/cmake/sodium) that find_package(sodium) picks up.
set -euo pipefail
cd "$(dirname "$0")/.."

# shellcheck source=scripts/mingw-library.sh
. scripts/mingw-library.sh
mingw_library_target sodium libsodium "${1:-}"

# Everything that shapes the library; a change to it makes a new build.
# _FORTIFY_SOURCE=0 keeps configure from turning fortification on, which
# MinGW implements in libssp, a DLL beside the exe.
configure_flags="--enable-minimal --disable-shared --enable-static --disable-ssp --disable-pie"
cppflags="-D_WIN32_WINNT=0x0501 -DWINVER=0x0501 -D_FORTIFY_SOURCE=0"
cflags="-O2"
compiler=$triple-gcc-win32
mingw_library_unless_cached libsodium.a "$configure_flags" "$cppflags" "$cflags" "$compiler"
log "building $version for $triple (a few minutes)"
install=$work/install
# Debian's source has no configure script: autoreconf makes it, as
# Debian's own build does.
build() {
  cd "$work/src" &&
    autoreconf -fi &&
    # shellcheck disable=SC2086
    ./configure --host="$triple" --prefix="$install" $configure_flags \
      CC="$compiler" CPPFLAGS="$cppflags" CFLAGS="$cflags" &&
    make -j "${BRIGHTWICK_JOBS:-2}" &&
    make install
}
mingw_library_build build
rm -rf "$install/lib/pkgconfig" "$install/lib/libsodium.la"

sodium_version=$(sed -n 's/^#define SODIUM_VERSION_STRING "\([^"]*\)".*/\1/p' \
  "$install/include/sodium/version.h")
# The package find_package(sodium) finds: the static library with the
# definition its headers need for static linking (no dllimport) and the
# Windows library of its random numbers (RtlGenRandom).
mkdir -p "$install/lib/cmake/sodium"
cat >"$install/lib/cmake/sodium/sodiumConfig.cmake" <<CONFIG
# Static libsodium $sodium_version for $triple, from Debian's libsodium $version
# (scripts/build-sodium-mingw.sh).
get_filename_component(_sodium_prefix "\${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
set(sodium_VERSION "$sodium_version")
if(NOT TARGET sodium::sodium)
  add_library(sodium::sodium STATIC IMPORTED)
  set_target_properties(sodium::sodium PROPERTIES
    IMPORTED_LOCATION "\${_sodium_prefix}/lib/libsodium.a"
    INTERFACE_INCLUDE_DIRECTORIES "\${_sodium_prefix}/include"
    INTERFACE_COMPILE_DEFINITIONS SODIUM_STATIC
    INTERFACE_LINK_LIBRARIES advapi32)
endif()
unset(_sodium_prefix)
CONFIG
mingw_library_install "$install"
