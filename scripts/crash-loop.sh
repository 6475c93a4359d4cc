#!/usr/bin/env bash
# Runs the crash loop: the real Linux updater on an update of 50 files, killed
# with SIGKILL at a random moment of each run, checked after every kill, then
# run once to completion (tests/crash_loop.cpp says what is checked).
#
#   scripts/crash-loop.sh [RUNS [SEED]]      default: 500 runs, seed 1
#
# Builds in build-rel/ (native) or, with BUILD_DIR=..., in a folder of your
# choice, e.g. BUILD_DIR=build-rel-asan with -DBRIGHTWICK_SANITIZE=... set
# there beforehand.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-500}
seed=${2:-1}
dir=${BUILD_DIR:-build-rel}
[ -f "$dir/CMakeCache.txt" ] || cmake -S . -B "$dir" -G Ninja >/dev/null
cmake --build "$dir" -j 2 --target crash_loop brightwick-updater >/dev/null
exec "$dir/crash_loop" --updater "$dir/brightwick-updater" --runs "$runs" --seed "$seed"
