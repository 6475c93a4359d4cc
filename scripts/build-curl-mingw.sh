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
# long as the recipe below is unchanged.
set -euo pipefail

arch=${1:-}
case "$arch" in
  i686) triple=i686-w64-mingw32 ;;
  x86_64) triple=x86_64-w64-mingw32 ;;
  *)
    echo "usage: $0 i686|x86_64" >&2
    exit 2
    ;;
esac
root=$(cd "$(dirname "$0")/.." && pwd)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/brightwick
mkdir -p "$cache/src"

log() { printf '[curl %s] %s\n' "$arch" "$*" >&2; }

if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; else sudo=""; fi

# The source package, fetched once and shared by both architectures; the lock
# keeps two builds started together from fetching it twice.
fetch_source() {
  if ls "$cache"/src/curl_*.dsc >/dev/null 2>&1; then return; fi
  if ! apt-get source --print-uris curl >/dev/null 2>&1; then
    log "adding a deb-src entry for Debian's source packages"
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      $sudo tee /etc/apt/sources.list.d/debian-src.sources >/dev/null
    $sudo apt-get update -q >&2
  fi
  log "downloading Debian's curl source package"
  (cd "$cache/src" && apt-get source --download-only curl >&2)
}
exec 9>"$cache/src/.lock"
flock 9
fetch_source
flock -u 9

dsc=$(ls "$cache"/src/curl_*.dsc | sort -V | tail -n 1)
version=$(basename "$dsc" .dsc)
version=${version#curl_}

# Everything that shapes the library; a change to it makes a new build.
options=(
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake"
  -DCMAKE_BUILD_TYPE=Release
  -DCMAKE_C_FLAGS=-D_WIN32_WINNT=0x0501
  -DBUILD_SHARED_LIBS=OFF
  -DBUILD_CURL_EXE=OFF
  -DBUILD_TESTING=OFF
  -DENABLE_MANUAL=OFF
  -DHTTP_ONLY=ON
  -DCURL_USE_SCHANNEL=ON
  -DCURL_USE_OPENSSL=OFF
  -DCURL_USE_LIBSSH2=OFF
  -DCURL_USE_LIBSSH=OFF
  -DCURL_ZLIB=OFF
  -DCURL_BROTLI=OFF
  -DCURL_ZSTD=OFF
  -DUSE_NGHTTP2=OFF
  -DUSE_LIBIDN2=OFF
  -DUSE_WIN32_IDN=OFF
  -DCURL_USE_LIBPSL=OFF
  -DCURL_USE_GSSAPI=OFF
  -DENABLE_UNIX_SOCKETS=OFF
  -DCURL_DISABLE_LDAP=ON
)
recipe=$(printf '%s\n' "$version" "${options[@]}" | sha256sum | cut -c1-12)
prefix="$cache/curl-$arch-$version"
stamp="$prefix/.recipe"

if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$recipe" ] && [ -f "$prefix/lib/libcurl.a" ]; then
  log "cached: $prefix"
  echo "$prefix"
  exit 0
fi

work=$(mktemp -d "$cache/build-curl-$arch.XXXXXX")
trap 'rm -rf "$work"' EXIT
log "building $version for $triple (a minute or two)"
# Debian's patches applied, as the packaged library has them.
dpkg-source --no-check -x "$dsc" "$work/src" >/dev/null
generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi
cmake -S "$work/src" -B "$work/build" "${generator[@]}" "${options[@]}" \
  -DCMAKE_INSTALL_PREFIX="$work/install" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log" >&2; exit 1; }
cmake --build "$work/build" -j "${BRIGHTWICK_JOBS:-2}" >"$work/build.log" 2>&1 ||
  { tail -n 50 "$work/build.log" >&2; exit 1; }
cmake --install "$work/build" >/dev/null
echo "$recipe" >"$work/install/.recipe"
# Moved into place whole, so an interrupted build never looks cached.
rm -rf "$prefix"
mv "$work/install" "$prefix"
log "installed: $prefix"
echo "$prefix"
