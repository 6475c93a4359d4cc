#!/usr/bin/env bash
# Builds the Windows updater for both architectures and tests it on Linux:
#   - the i686 release build read back from its PE file (machine, subsystem
#     5.01, imports Windows XP has, dialog template, icons, manifest);
#   - the x86_64 build of the same sources end to end under Wine on a virtual
#     display, against a loopback server (this kernel runs no 32-bit code).
# The native test harness lives in build-wine-tests/, with the Wine prefix the
# cases share and the screenshot they take (build-wine-tests/artifacts/).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/install-deps.sh

tests=build-wine-tests
mkdir -p "$tests"
export WINEPREFIX=$PWD/$tests/wineprefix
# Wine's first start takes tens of seconds, mostly waiting: it runs while the
# programs build.
boot=
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  (
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
    /usr/lib/wine/wine64 wineboot -i && /usr/lib/wine/wineserver -w
  ) >"$tests/wineboot.log" 2>&1 &
  boot=$!
fi

# libcurl and libsodium for each architecture, built side by side: most of
# the time goes to configure checks, one compiler at a time. Cached after the
# first run.
libraries=()
for library in curl sodium; do
  for arch in i686 x86_64; do
    scripts/build-$library-mingw.sh "$arch" >/dev/null &
    libraries+=($!)
  done
done
for pid in "${libraries[@]}"; do wait "$pid"; done

scripts/build-windows.sh i686
scripts/build-windows.sh x86_64

# The harness's server answers under the URL the program under test has built in.
url=$(sed -n 's/^UPDATE_BASE_URL:STRING=//p' build-win-x86_64/CMakeCache.txt)
cmake -S . -B "$tests" -G Ninja -DUPDATE_BASE_URL="$url" \
  -DBRIGHTWICK_WINDOWS_EXE="$PWD/build-win-x86_64/brightwick-updater.exe" \
  -DBRIGHTWICK_WINDOWS_RELEASE_EXE="$PWD/build-win-i686/brightwick-updater.exe" >/dev/null
# Only the Windows harness: the native suites have steps of their own.
cmake --build "$tests" -j "$jobs" --target windows_e2e_test

if [ -n "$boot" ] && ! wait "$boot"; then
  cat "$tests/wineboot.log" >&2
  echo "Creating the Wine prefix failed" >&2
  exit 1
fi
ctest --test-dir "$tests" -L windows --output-on-failure
