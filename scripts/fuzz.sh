#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz/, writes their seed corpora, and
# runs each target for a fixed time.
#
#   scripts/fuzz.sh --smoke             every target for 10 s (what CI runs)
#   scripts/fuzz.sh --time 3600         every target for an hour
#   scripts/fuzz.sh --time 600 inflate_fuzz
#
# New inputs that reach new code are kept in build-fuzz/corpus/TARGET and
# reused by the next run; a crash leaves its input in build-fuzz/artifacts/
# and makes the script fail. Reproduce one with
#   build-fuzz/TARGET build-fuzz/artifacts/crash-...
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=10
targets=()
while [ "$#" -gt 0 ]; do
  case "$1" in
    --smoke) seconds=10 ;;
    --time) seconds=$2; shift ;;
    -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
    *) targets+=("$1") ;;
  esac
  shift
done
[ "${#targets[@]}" -gt 0 ] || targets=(manifest_fuzz inflate_fuzz pack_fuzz signature_fuzz bundle_index_fuzz patch_fuzz
  vcdiff_fuzz)

cc=$(command -v clang-14 || command -v clang)
cxx=$(command -v clang++-14 || command -v clang++)
dir=build-fuzz
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
  -DBRIGHTWICK_FUZZ=ON -DBRIGHTWICK_SANITIZE=address,undefined \
  -DBRIGHTWICK_BUILD_TESTS=OFF >/dev/null
# patch_bench is the publisher's patch maker, for the patch seeds.
cmake --build "$dir" -j 2 --target "${targets[@]}" patch_bench

ASAN_OPTIONS=detect_leaks=0 python3 fuzz/make_seeds.py "$dir/seeds" --patch-maker "$dir/patch_bench"
# The targets work on files: a memory-backed folder makes them faster. It is
# removed at the end, since libFuzzer may end a run without the targets'
# own clean-up.
base=/tmp
if [ -d /dev/shm ] && [ -w /dev/shm ]; then base=/dev/shm; fi
scratch=$(mktemp -d "$base/brightwick-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export TMPDIR=$scratch
mkdir -p "$dir/artifacts"
for target in "${targets[@]}"; do
  mkdir -p "$dir/corpus/$target"
  printf '\n--- %s for %s s\n' "$target" "$seconds"
  # The first folder receives new inputs; the seeds are only read.
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$dir/$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -max_len=65536 -print_final_stats=1 -artifact_prefix="$dir/artifacts/$target-" \
    "$dir/corpus/$target" "$dir/seeds/$target" 2>&1 | tail -n 25
  [ "${PIPESTATUS[0]}" -eq 0 ] || { echo "fuzz: $target failed"; exit 1; }
done
echo "fuzz: all targets ran clean"
