#!/usr/bin/env bash
# Unpacks Debian's xdelta3 source package (Debian's patches applied) once
# into the build cache and prints the source folder on its last line of
# output. scripts/install-deps.sh runs it; CMake then finds the folder when
# configuring, so that every build (native, sanitizers, fuzzing, Windows)
# compiles the same library core from the same sources.
#
#   scripts/fetch-xdelta3-source.sh
set -euo pipefail
cd "$(dirname "$0")/.."

cache=${XDG_CACHE_HOME:-$HOME/.cache}/brightwick
mkdir -p "$cache"
dsc=$(scripts/fetch-deb-source.sh xdelta3 | tail -n 1)
version=$(basename "$dsc" .dsc)
version=${version#xdelta3_}
folder="$cache/xdelta3-$version"

exec 9>"$cache/.xdelta3.lock"
flock 9
if [ ! -f "$folder/xdelta3.c" ]; then
  echo "[xdelta3] unpacking $version" >&2
  work=$(mktemp -d "$cache/unpack-xdelta3.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  dpkg-source --no-check -x "$dsc" "$work/src" >/dev/null
  # Moved into place whole, so an interrupted unpack never looks done.
  rm -rf "$folder"
  mv "$work/src" "$folder"
fi
echo "$folder"
