#!/usr/bin/env bash
# Builds the Windows updater for both architectures and tests it on Linux:
#   - the i686 release build read back from its PE file (machine, subsystem
#     5.01, imports Windows XP has, dialog template, icons, manifest);
#   - both builds end to end under Wine on a virtual display, against a
#     loopback server: the i686 one with Debian's 32-bit Wine, which
#     scripts/setup-wine32.sh sets up on this machine first (through qemu-user
#     where the kernel refuses 32-bit programs), the x86_64 one with wine64.
# The native test harness joins the native build, build/, so that what it
# shares with the native programs is compiled once; the Wine prefixes its
# cases share and the screenshots they take (build/artifacts/) are there too.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/install-deps.sh
scripts/setup-wine32.sh

tests=build
mkdir -p "$tests"
# Wine's first start in a prefix takes tens of seconds, mostly waiting: both
# run while the programs build.
boots=()
boot() {  # arch, loader, WINEARCH
  local prefix=$PWD/$tests/wineprefix-$1
  if [ -f "$prefix/system.reg" ]; then return; fi
  (
    export WINEPREFIX=$prefix WINEARCH=$3 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
    "$2" wineboot -i && /usr/lib/wine/wineserver -w
  ) >"$tests/wineboot-$1.log" 2>&1 &
  boots+=("$!:$1")
}
boot x86_64 /usr/lib/wine/wine64 win64
boot i686 /usr/lib/wine/wine win32

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

# brightwick-updater-test-keys.exe too: the same program with the tests' keys
# built in, for the cases of signed updates. brightwick-updater.exe is built
# as without it.
# proxy_test.exe too: the unit tests that run on Windows as well.
scripts/build-windows.sh i686 -DBRIGHTWICK_TEST_KEYS=ON -DBRIGHTWICK_WINDOWS_UNIT_TESTS=ON
scripts/build-windows.sh x86_64 -DBRIGHTWICK_TEST_KEYS=ON -DBRIGHTWICK_WINDOWS_UNIT_TESTS=ON

# The harness's server answers under the URL the program under test has built in.
url=$(sed -n 's/^UPDATE_BASE_URL:STRING=//p' build-win-x86_64/CMakeCache.txt)
cmake -S . -B "$tests" -G Ninja -DUPDATE_BASE_URL="$url" \
  -DBRIGHTWICK_WINDOWS_EXE="$PWD/build-win-x86_64/brightwick-updater.exe" \
  -DBRIGHTWICK_WINDOWS_RELEASE_EXE="$PWD/build-win-i686/brightwick-updater.exe" >/dev/null
# Only the Windows harness: the native suites have steps of their own.
cmake --build "$tests" -j "$jobs" --target windows_e2e_test

for boot in "${boots[@]}"; do
  if ! wait "${boot%%:*}"; then
    cat "$tests/wineboot-${boot#*:}.log" >&2
    echo "Creating the ${boot#*:} Wine prefix failed" >&2
    exit 1
  fi
done
# Cases that wait out a long bound have a prefix of their own (ARCH-wait), so
# they run beside the others; so do the cases that change Windows' proxy
# settings, with the unit tests built for Windows (ARCH-proxy). Each is a copy
# of the booted prefix whose files are hard links: a prefix is 0.6 GB (i686)
# or 1.3 GB (x86_64) of DLLs that Wine never writes once booted, and six full
# ones filled a CI machine's disk. Only what Wine rewrites, its registry and
# the files beside it, is copied for real.
clone() {  # arch, variant
  local base=$PWD/$tests/wineprefix-$1 copy=$PWD/$tests/wineprefix-$1-$2
  if [ -f "$copy/system.reg" ]; then return; fi
  rm -rf "$copy"
  cp -al "$base" "$copy"
  find "$base" -maxdepth 1 -type f -exec cp --remove-destination -t "$copy" {} +
}
for arch in x86_64 i686; do
  for variant in wait proxy; do clone "$arch" "$variant"; done
done

# The two architectures' cases run side by side; those sharing a prefix run
# one at a time, beside the waiting ones (tests/windows/CMakeLists.txt).
ctest --test-dir "$tests" -L windows -j 4 --output-on-failure
