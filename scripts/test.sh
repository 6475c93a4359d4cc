#!/usr/bin/env bash
# The project's test command. On a fresh Debian machine it installs what the
# tests need, builds, and runs every suite:
#   1. the native build and all its tests;
#   2. the same tests under AddressSanitizer with UndefinedBehaviorSanitizer;
#   3. the threaded tests under ThreadSanitizer;
#   4. the Windows build (both architectures), its PE checks and its
#      end-to-end tests under Wine (scripts/test-windows.sh);
#   5. each fuzz target for a short time (scripts/fuzz.sh --smoke);
#   6. the benchmarks in miniature on the build/ programs (bench/run.sh
#      --quick): they still run; their figures are not judged.
# The sanitizer builds (1 GB together) are removed once their tests pass, so
# that a machine with little disk gets through the Windows step; set
# BRIGHTWICK_KEEP_BUILDS=1 to keep them.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/install-deps.sh

# Each step says how far into the run it starts and how much disk is free, so
# a slow step or a filling disk shows in the CI log.
step() {
  printf '\n=== %s  [%dm%02ds, %s free]\n' "$*" $((SECONDS / 60)) $((SECONDS % 60)) \
    "$(df -h --output=avail . | tail -n 1 | tr -d ' ')"
}

build_and_test() {  # folder, target, ctest arguments..., -- cmake arguments...
  local dir=$1 target=$2; shift 2
  local ctest_args=()
  while [ "$#" -gt 0 ] && [ "$1" != "--" ]; do ctest_args+=("$1"); shift; done
  [ "$#" -gt 0 ] && shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs" --target "$target"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure "${ctest_args[@]}"
}

prune() { [ "${BRIGHTWICK_KEEP_BUILDS:-0}" = 1 ] || rm -rf "$1"; }

step "Native build and tests"
# The Windows cases join this build in their own step (scripts/test-windows.sh).
build_and_test build all -LE windows

# The sanitizer builds use -O1, as the sanitizers' documentation advises:
# the instrumented build takes about a quarter less time than at -O2.
sanitized=(-DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g -DNDEBUG"
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g -DNDEBUG")

step "AddressSanitizer + UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  build_and_test build-asan all -- -DBRIGHTWICK_SANITIZE=address,undefined "${sanitized[@]}"
prune build-asan

step "ThreadSanitizer (threaded tests)"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  build_and_test build-tsan threaded_tests -L threaded -- -DBRIGHTWICK_SANITIZE=thread "${sanitized[@]}"
prune build-tsan

step "Windows build, PE checks and Wine end-to-end tests"
scripts/test-windows.sh

step "Fuzz smoke runs"
scripts/fuzz.sh --smoke

step "Benchmark smoke run (bench/run.sh --quick)"
bench/run.sh --quick --build build

step "All tests passed"
