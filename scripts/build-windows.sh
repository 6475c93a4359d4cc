#!/usr/bin/env bash
# Builds the Windows updater on Debian with MinGW-w64:
#
#   UPDATE_BASE_URL=http://games.example.com/tdx/updates/ scripts/build-windows.sh i686
#
# i686 is the release build (32-bit, runs on Windows XP and later); x86_64 is
# the same program for 64-bit Windows (the tests run it under Wine). The
# result is build-win-ARCH/brightwick-updater.exe, one file with libcurl, zlib,
# libsodium and the C++ runtime inside, with LICENSE and
# THIRD-PARTY-NOTICES.txt beside it. UPDATE_BASE_URL, when set, is
# the update server's directory built into the program. Extra arguments go to
# CMake.
set -euo pipefail
cd "$(dirname "$0")/.."

arch=${1:-}
case "$arch" in
  i686 | x86_64) shift ;;
  *)
    echo "usage: [UPDATE_BASE_URL=http://host/path/updates/] $0 i686|x86_64 [cmake options]" >&2
    exit 2
    ;;
esac

scripts/install-deps.sh
curl=$(scripts/build-curl-mingw.sh "$arch" | tail -n 1)
sodium=$(scripts/build-sodium-mingw.sh "$arch" | tail -n 1)

dir=build-win-$arch
options=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-$arch.cmake" -DBRIGHTWICK_CURL_PREFIX="$curl"
  -DBRIGHTWICK_SODIUM_PREFIX="$sodium")
if [ -n "${UPDATE_BASE_URL:-}" ]; then options+=(-DUPDATE_BASE_URL="$UPDATE_BASE_URL"); fi
generator=()
if [ ! -f "$dir/CMakeCache.txt" ]; then generator=(-G Ninja); fi
cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release "${options[@]}" "$@" >/dev/null
cmake --build "$dir" -j "${BRIGHTWICK_JOBS:-$(nproc)}"
echo "Built $PWD/$dir/brightwick-updater.exe (ship LICENSE and THIRD-PARTY-NOTICES.txt beside it)"
