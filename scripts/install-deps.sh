#!/usr/bin/env bash
# Installs the Debian packages that building and testing need. Safe to run
# again: packages already present are left alone. Needs root (or sudo).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  # Core build and tests (xdelta3 is built from Debian's source package,
  # fetched with apt-get source: dpkg-dev)
  cmake ninja-build g++ pkg-config libcurl4-openssl-dev zlib1g-dev libsodium-dev libgtest-dev
  dpkg-dev locales-all
  # Publishing: nginx serves what brightwick-pack published, in its end-to-end
  # test and in scripts/demo.sh (each with a configuration of its own)
  nginx-light
  # Windows cross-build (MinGW-w64 with the win32 thread model, zlib; libcurl
  # and libsodium are built from Debian's source packages with dpkg-dev, the
  # latter's configure script made with autoconf, automake and libtool) and
  # its tests: PE checks with pefile, the x86_64 build under Wine on a
  # virtual display
  g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 libz-mingw-w64-dev dpkg-dev python3
  autoconf automake libtool
  python3-pefile wine64 xvfb xauth xdotool imagemagick
  # Linux progress window: GTK 3 (the icon is drawn with python3 and compiled
  # in with glib-compile-resources), and its tests on a private Xvfb display,
  # driven with xdotool and photographed with ImageMagick (xauth: xvfb-run)
  libgtk-3-dev libglib2.0-dev-bin libx11-dev python3 xvfb xauth xdotool imagemagick
  # Fuzzing (scripts/fuzz.sh): clang with libFuzzer and the sanitizer
  # runtimes, python3 for the seed corpora. The fault tests deny writes and
  # fill disks with prlimit, setpriv, unshare (util-linux) and chattr
  # (e2fsprogs).
  clang libclang-rt-14-dev python3 util-linux e2fsprogs
)

if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
else
  sudo=""
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if [ "${#missing[@]}" -gt 0 ]; then
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
  # The downloaded packages (about 2 GB with Wine's) would only take disk
  # space that the builds and Wine prefixes need.
  $sudo apt-get clean
fi

# xdelta3's library core, which Debian packages only as a command line:
# brightwick-pack builds it from Debian's source package, unpacked once into
# the build cache. Configuring the build only looks for it there.
scripts/fetch-xdelta3-source.sh >/dev/null
