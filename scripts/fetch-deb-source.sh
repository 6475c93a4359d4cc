#!/usr/bin/env bash
# Downloads Debian's source package PACKAGE once into the build cache and
# prints its .dsc file on the last line of output.
#
#   scripts/fetch-deb-source.sh curl|libsodium|xdelta3
#
# The libraries built for Windows (and xdelta3, which Debian packages only as
# a command line) come from the distribution's own sources, Debian's patches
# included. The cache is ${XDG_CACHE_HOME:-~/.cache}/brightwick/src; a lock
# keeps builds started together from fetching the same package twice.
set -euo pipefail

package=${1:-}
if [ -z "$package" ]; then
  echo "usage: $0 PACKAGE" >&2
  exit 2
fi
cache=${XDG_CACHE_HOME:-$HOME/.cache}/brightwick/src
mkdir -p "$cache"
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; else sudo=""; fi

exec 9>"$cache/.lock"
flock 9
if ! ls "$cache/${package}"_*.dsc >/dev/null 2>&1; then
  if ! apt-get source --print-uris "$package" >/dev/null 2>&1; then
    echo "[$package] adding a deb-src entry for Debian's source packages" >&2
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      $sudo tee /etc/apt/sources.list.d/debian-src.sources >/dev/null
    $sudo apt-get update -q >&2
  fi
  echo "[$package] downloading Debian's source package" >&2
  (cd "$cache" && apt-get source --download-only "$package" >&2)
fi
ls "$cache/${package}"_*.dsc | sort -V | tail -n 1
