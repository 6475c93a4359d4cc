#!/usr/bin/env bash
# Builds a static libcurl for Windows from Debian's own curl source package
# and prints the install prefix on its last line of output.
#
#   scripts/build-curl-mingw.sh i686|x86_64
#
# libcurl for MinGW is not packaged. This one is cut down to what the updater
# uses: HTTP (and HTTPS through Windows' own Schannel), no compression, IDN,
# SSH or other libraries, so the updater stays one self-contained exe. It is
# compiled for Windows XP (_WIN32_WINNT=0x0501), so nothing newer than XP is
# imported. The result is cached outside the checkout, under
# ${XDG_CACHE_HOME:-~/.cache}/brightwick/curl-ARCH-VERSION, and reused as
# long as the recipe below is unchanged. The prefix holds a CMake package
# (lib/cmake/CURL) that find_package(CURL) picks up.
set -euo pipefail
cd "$(dirname "$0")/.."

# shellcheck source=scripts/mingw-library.sh
. scripts/mingw-library.sh
mingw_library_target curl curl "${1:-}"

# Everything that shapes the library; a change to it makes a new build.
# curl's own Makefile.mk for MinGW builds from its hand-written Windows
# configuration (config-win32.h), which saves the minutes CMake's configure
# checks take through a cross compiler. Schannel with SSPI for HTTPS (SSPI also
# brings NTLM and Negotiate, with which the updater answers a proxy's 407 with
# the player's Windows logon; proxy_test.exe checks both are in); no zlib,
# IDN, SSH, PSL, brotli, zstd or nghttp2; HTTP_ONLY leaves out every other
# protocol, LDAP included; CURL_STATICLIB, so nothing is marked for export.
make_cfg=-schannel-sspi-ipv6
cppflags="-DHTTP_ONLY -DCURL_STATICLIB -D_WIN32_WINNT=0x0501 -DWINVER=0x0501"
cflags="-O2"
compiler=$triple-gcc-win32
mingw_library_unless_cached libcurl.a "$make_cfg" "$cppflags" "$cflags" "$compiler"
log "building $version for $triple (about a minute)"
mkdir -p "$work/src/lib/$triple"
mingw_library_build env -C "$work/src/lib" CC="$compiler" AR="$triple-ar" TRIPLET="$triple" \
  CPPFLAGS="$cppflags" CFLAGS="$cflags" \
  make -f Makefile.mk -j "${BRIGHTWICK_JOBS:-2}" CFG="$make_cfg" libcurl.a

install=$work/install
mkdir -p "$install/include" "$install/lib/cmake/CURL"
cp -r "$work/src/include/curl" "$install/include/"
cp "$work/src/lib/libcurl.a" "$install/lib/"
curl_version=$(sed -n 's/^#define LIBCURL_VERSION "\([^"]*\)".*/\1/p' \
  "$work/src/include/curl/curlver.h")
# The package find_package(CURL) finds: the static library with the
# definition its headers need and the Windows libraries it calls.
cat >"$install/lib/cmake/CURL/CURLConfig.cmake" <<CONFIG
# Static libcurl $curl_version for $triple, from Debian's curl $version
# (scripts/build-curl-mingw.sh).
get_filename_component(_curl_prefix "\${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
set(CURL_VERSION "$curl_version")
set(CURL_VERSION_STRING "$curl_version")
if(NOT TARGET CURL::libcurl)
  add_library(CURL::libcurl STATIC IMPORTED)
  set_target_properties(CURL::libcurl PROPERTIES
    IMPORTED_LOCATION "\${_curl_prefix}/lib/libcurl.a"
    INTERFACE_INCLUDE_DIRECTORIES "\${_curl_prefix}/include"
    INTERFACE_COMPILE_DEFINITIONS CURL_STATICLIB
    INTERFACE_LINK_LIBRARIES "ws2_32;crypt32;advapi32")
endif()
unset(_curl_prefix)
CONFIG
cat >"$install/lib/cmake/CURL/CURLConfigVersion.cmake" <<VERSION
set(PACKAGE_VERSION "$curl_version")
if(PACKAGE_FIND_VERSION AND PACKAGE_FIND_VERSION VERSION_GREATER PACKAGE_VERSION)
  set(PACKAGE_VERSION_COMPATIBLE FALSE)
else()
  set(PACKAGE_VERSION_COMPATIBLE TRUE)
endif()
VERSION
mingw_library_install "$install"
