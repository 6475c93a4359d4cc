#!/usr/bin/env bash
# Benchmarks brightwick-updater and brightwick-pack against the tools a studio
# would use instead, on loopback, and writes bench/results.md. What each
# scenario measures and why: bench/README.md.
#
#   bench/run.sh                the full run (8.5 minutes on 2 cores from
#                               scratch, 7 with the data kept): installs the
#                               Debian packages it needs, builds in
#                               build-bench/ (Release), makes and publishes the
#                               data (kept in build-bench/ for the next run),
#                               runs every scenario once to warm up and 5 times
#                               measured, writes bench/results.md
#   bench/run.sh --quick        the same scenarios on a few small files, one
#                               run each: checks that the benchmark still
#                               works; writes BUILD/bench-quick.md
# Options:
#   --build DIR     take the programs from DIR (configured here in Release if
#                   it is not configured yet)
#   --out FILE      write the results there instead
#   --wait-quiet    before measuring, wait (up to 30 minutes) until the load
#                   average is below 0.5
#   --profile       instead of measuring: where the updater's time goes, with
#                   callgrind, strace and a few experiments, into
#                   BUILD/bench-profile/ (summary.md); about 6 minutes
#
# A benchmark measures and never judges: a figure that misses its goal is
# reported, not failed. The run fails only when something did not work (a
# server that does not start, an updater that left a file wrong).
set -euo pipefail
export LC_ALL=C # EPOCHREALTIME and printf must use a decimal point
cd "$(dirname "$0")/.."
repo=$(pwd)

quick=no
build=""
out=""
wait_quiet=no
profile=no
while [ "$#" -gt 0 ]; do
  case "$1" in
    --quick) quick=yes ;;
    --build) build=$2 && shift ;;
    --out) out=$2 && shift ;;
    --wait-quiet) wait_quiet=yes ;;
    --profile) profile=yes ;;
    -h | --help) sed -n '2,30p' "$0" | sed 's/^# \{0,1\}//' && exit 0 ;;
    *) echo "bench/run.sh: unknown argument '$1' (try --help)" >&2 && exit 2 ;;
  esac
  shift
done
build=${build:-build-bench}
case "$build" in /*) ;; *) build="$repo/$build" ;; esac
if [ "$quick" = yes ]; then
  out=${out:-$build/bench-quick.md}
else
  out=${out:-$repo/bench/results.md}
fi
case "$out" in /*) ;; *) out="$repo/$out" ;; esac

say() { printf '\n== %s\n' "$*"; }
fail() {
  printf 'bench/run.sh: %s\n' "$*" >&2
  exit 1
}
script_start=$EPOCHREALTIME

# ---------------------------------------------------------------------------
# Sizes. The full run is what the README describes; --quick is the same shape
# in miniature.
if [ "$quick" = yes ]; then
  rounds=1 warmup=0
  game_files=40 game_bytes=4M patched=5 patched_bytes=512K
  small_files=50 small_size=1K
  single_sizes=(2M 8M)
  engine_mib=4
else
  rounds=5 warmup=1
  game_files=2000 game_bytes=1G patched=100 patched_bytes=100M
  small_files=5000 small_size=1K
  single_sizes=(256M 1G)
  engine_mib=256
fi
seed=20261207

# ---------------------------------------------------------------------------
say "Packages"
packages=(cmake ninja-build g++ pkg-config libcurl4-openssl-dev zlib1g-dev
  nginx-light rsync curl qpdf pigz time)
[ "$profile" = yes ] && packages+=(valgrind strace)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
nginx=$(command -v nginx || echo /usr/sbin/nginx)
echo "all present: ${packages[*]}"

say "Building in $build"
if [ ! -f "$build/CMakeCache.txt" ]; then
  # Without GTK: the headless updater a player without a desktop gets, and no
  # GTK start-up in every figure (the Windows updater has none either).
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRIGHTWICK_BUILD_TESTS=OFF \
    -DBRIGHTWICK_GTK=OFF >/dev/null
fi
cmake --build "$build" -j 2 --target brightwick-updater brightwick-pack engine_bench bench_data \
  what_if
updater="$build/brightwick-updater"
pack="$build/brightwick-pack"
bench_data="$build/bench_data"
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt")
# The updater fetches from its built-in directory; nginx serves that path, and
# the updater reaches nginx as its HTTP proxy, so any build works unchanged.
base_url=$(sed -n 's/.*kUpdateBaseUrl\[\] = "\(.*\)";/\1/p' "$build/generated/shared/base_url.h")
url_path=$(printf '%s' "$base_url" | sed 's|^http://[^/]*||')
[ -n "$url_path" ] || fail "cannot read the updater's base URL from $build"
gtk_linked=no
ldd "$updater" | grep -q libgtk && gtk_linked=yes

# ---------------------------------------------------------------------------
say "Data"
# Everything is made from the seed; the full run keeps it between runs.
if [ "$quick" = yes ]; then
  data="$build/bench-quick-data"
  rm -rf "$data"
else
  data="$build/bench-data"
fi
stamp="$(sha256sum bench/bench_data.cpp | cut -c1-16) $seed $game_files $game_bytes $patched"
stamp+=" $patched_bytes $small_files $small_size ${single_sizes[*]}"
if [ "$(cat "$data/stamp" 2>/dev/null)" != "$stamp" ]; then
  rm -rf "$data"
  mkdir -p "$data"
  "$bench_data" game --seed "$seed" --files "$game_files" --bytes "$game_bytes" \
    --patched "$patched" --patched-bytes "$patched_bytes" "$data/release" "$data/old" \
    | tee "$data/game.txt"
  "$bench_data" uniform --seed "$seed" --files "$small_files" --size "$small_size" \
    "$data/small-release" "$data/small-old" | tee "$data/small.txt"
  for size in "${single_sizes[@]}"; do
    "$bench_data" file --seed "$seed" --bytes "$size" "$data/single-$size/release/big.pak"
  done
  echo "$stamp" >"$data/stamp"
fi
if [ "$quick" = yes ]; then
  # The generator must give the same bytes for the same seed, or the figures
  # of two runs would not be comparable.
  "$bench_data" uniform --seed "$seed" --files 20 --size 3K "$data/again-1" "$data/again-1o" >/dev/null
  "$bench_data" uniform --seed "$seed" --files 20 --size 3K "$data/again-2" "$data/again-2o" >/dev/null
  diff -r "$data/again-1" "$data/again-2" >/dev/null || fail "bench_data is not deterministic"
  [ "$(find "$data/release" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')" = \
    "$(numfmt --from=iec "$game_bytes")" ] || fail "bench_data made a release of the wrong size"
fi

work="$build/bench-work"
rm -rf "$work"
mkdir -p "$work/samples" "$work/www"
samples="$work/samples"

# The game as it stands on a player's machine: a folder with the stand-in game.
make_game() { # folder, copy of...
  local dir=$1
  shift
  rm -rf "$dir"
  mkdir -p "$dir"
  for source in "$@"; do cp -a "$source/." "$dir/"; done
  printf '#!/bin/sh\nexit 0\n' >"$dir/tdx.exe"
  chmod 755 "$dir/tdx.exe"
}

say "Publishing with brightwick-pack"
# Incremental, and kept apart from the data: after the first run only the
# CRCs are read again, even when the data was made anew.
sites="$build/bench-sites"
[ "$quick" = yes ] && sites="$data/sites"
"$pack" publish "$data/release" "$sites/game"
"$pack" publish "$data/small-release" "$sites/small"
make_game "$work/game-current" "$data/release"
make_game "$work/game-old" "$data/release" "$data/old"
make_game "$work/small-game" "$data/small-old"
# Checksums of what every updated folder must hold afterwards.
(cd "$data/old" && find . -type f | sort) >"$work/patched.list"
(cd "$data/release" && xargs -d '\n' md5sum <"$work/patched.list") >"$work/patched.md5"
(cd "$data/small-release" && find . -type f | sort) >"$work/small.list"
(cd "$data/small-release" && xargs -d '\n' md5sum <"$work/small.list") >"$work/small.md5"

# ---------------------------------------------------------------------------
say "Servers"
nginx_pid="" rsync_pid=""
cleanup() {
  for pid in $nginx_pid $rsync_pid; do
    if kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Waits (bounded) until `probe` succeeds while `pid` lives.
await() { # pid, probe...
  local pid=$1
  shift
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || return 1
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

# nginx as a studio would run it for static files; its own prefix and port.
# The port is free when asked for; another program may take it before nginx
# binds it, so a failed start is retried on a new port.
start_nginx() {
  local dir="$work/nginx"
  mkdir -p "$dir/tmp"
  for _ in 1 2 3 4 5; do
    nginx_port=$("$bench_data" port)
    cat >"$dir/nginx.conf" <<EOF
daemon off;
master_process on;
worker_processes 1;
$([ "$(id -u)" -eq 0 ] && echo "user root;")
pid "$dir/nginx.pid";
error_log "$dir/error.log";
events { worker_connections 1024; }
http {
  access_log "$dir/access.log";
  sendfile on;
  tcp_nopush on;
  keepalive_requests 100000;
  client_body_temp_path "$dir/tmp/body";
  proxy_temp_path "$dir/tmp/proxy";
  fastcgi_temp_path "$dir/tmp/fastcgi";
  uwsgi_temp_path "$dir/tmp/uwsgi";
  scgi_temp_path "$dir/tmp/scgi";
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$nginx_port;
    root "$work/www";
  }
}
EOF
    "$nginx" -p "$dir/" -e "$dir/error.log" -c "$dir/nginx.conf" &
    nginx_pid=$!
    if await "$nginx_pid" curl -sf -o /dev/null "http://127.0.0.1:$nginx_port/ready"; then
      return 0
    fi
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
    nginx_pid=""
  done
  fail "nginx did not start: $(tail -3 "$dir/error.log" 2>/dev/null)"
}

# An rsync daemon serving the new release, read-only.
start_rsync() {
  local dir="$work/rsyncd"
  mkdir -p "$dir"
  for _ in 1 2 3 4 5; do
    rsync_port=$("$bench_data" port)
    cat >"$dir/rsyncd.conf" <<EOF
pid file = $dir/rsyncd.pid
log file = $dir/rsyncd.log
use chroot = no
uid = $(id -un)
gid = $(id -gn)
[game]
  path = $data/release
  read only = yes
EOF
    rsync --daemon --no-detach --config="$dir/rsyncd.conf" --address=127.0.0.1 \
      --port="$rsync_port" &
    rsync_pid=$!
    if await "$rsync_pid" rsync "rsync://127.0.0.1:$rsync_port/"; then
      return 0
    fi
    kill "$rsync_pid" 2>/dev/null || true
    wait "$rsync_pid" 2>/dev/null || true
    rsync_pid=""
  done
  fail "the rsync daemon did not start: $(tail -3 "$dir/rsyncd.log" 2>/dev/null)"
}

echo ok >"$work/www/ready"
start_nginx
start_rsync
echo "nginx on 127.0.0.1:$nginx_port (pid $nginx_pid), rsync daemon on 127.0.0.1:$rsync_port" \
  "(pid $rsync_pid)"

# The site nginx serves at the updater's path: one published folder at a time.
serve() { # published folder
  mkdir -p "$(dirname "$work/www$url_path")"
  ln -sfn "$1" "$work/www${url_path%/}"
}

# ---------------------------------------------------------------------------
# Measuring. Each measured command is a function; `timed` adds its wall time
# in seconds to samples/LABEL, `measured` also its peak resident memory (KiB)
# to samples/LABEL.rss.
timed() { # label, command...
  local label=$1
  shift
  local start=$EPOCHREALTIME
  "$@"
  local end=$EPOCHREALTIME
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.6f\n", e - s }' >>"$samples/$label"
}
measured() { # label, command...
  local label=$1
  shift
  timed "$label" /usr/bin/time -f '%M' -o "$work/rss" "$@"
  cat "$work/rss" >>"$samples/$label.rss"
}

# median, minimum and maximum of a list of numbers
stats() {
  sort -g | awk '{ v[NR] = $1 } END {
    m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "%s %s %s\n", m, v[1], v[NR] }'
}
requests() { wc -l <"$work/nginx/access.log"; }

# The real updater, headless, in `folder`, started through `wrapper...` if
# given; nginx is its proxy for the built-in server. Nothing else in the
# environment may divert or slow it.
updater_in() { # folder, wrapper...
  local dir=$1
  shift
  (cd "$dir" && env -u DISPLAY -u WAYLAND_DISPLAY -u no_proxy -u NO_PROXY -u all_proxy \
    -u ALL_PROXY -u https_proxy http_proxy="http://127.0.0.1:$nginx_port" "$@" "$updater" \
    >/dev/null 2>>"$work/updater.stderr")
}
# Measures one updater run and checks it did what it should: `expect`
# requests to nginx, no log entry, `md5` files correct afterwards.
updater_run() { # label, folder, expected requests, md5 list or "", time|memory
  local label=$1 dir=$2 expect=$3 sums=$4 how=$5
  local before
  before=$(requests)
  if [ "$how" = memory ]; then
    timed "$label" updater_in "$dir" /usr/bin/time -f '%M' -o "$work/rss"
    cat "$work/rss" >>"$samples/$label.rss"
  else
    timed "$label" updater_in "$dir"
  fi
  local made=$(($(requests) - before))
  [ "$made" -eq "$expect" ] || fail "$label: the updater made $made requests, not $expect"
  if [ -s "$work/updater.stderr" ]; then
    cat "$work/updater.stderr" >&2
    fail "$label: the updater complained"
  fi
  if ls "$dir"/*.log >/dev/null 2>&1; then
    cat "$dir"/*.log >&2
    fail "$label: the updater logged a problem"
  fi
  [ -z "$sums" ] || check_sums "$label" "$dir" "$sums"
}
check_sums() { # label, folder, md5 list
  (cd "$2" && md5sum --quiet -c "$3" >/dev/null 2>&1) || fail "$1: $2 was not brought up to date"
}

read_floor() { "$bench_data" read "$1" >/dev/null; }
read_cat() { (cd "$1" && find . -type f -print0 | xargs -0 cat >/dev/null); }
rsync_checksum() { rsync -a --checksum --dry-run "$1/" "$2/"; }
rsync_daemon() { rsync -a --whole-file "rsync://127.0.0.1:$rsync_port/game/" "$1/"; }
# The same reading every file on both sides, as the updater does; or putting
# every new file on the disk before it replaces the old one, as the updater
# does.
rsync_daemon_checksum() {
  rsync -a --whole-file --checksum "rsync://127.0.0.1:$rsync_port/game/" "$1/"
}
rsync_daemon_fsync() { rsync -a --whole-file --fsync "rsync://127.0.0.1:$rsync_port/game/" "$1/"; }

# A curl configuration fetching every listed file in one process (one
# connection), into `into`/NAME`suffix`.
curl_config() { # list, into, suffix
  while IFS= read -r name; do
    name=${name#./}
    printf 'url = "http://127.0.0.1:%s%s%s"\noutput = "%s/%s%s"\n' \
      "$nginx_port" "$url_path" "$name" "$2" "$name" "${3:-}"
  done <"$1"
}
# The stock pair: one curl for all the packed files, then zlib-flate for each
# one over the local file. The two parts are also kept apart, in LABEL.fetch
# and LABEL.inflate.
curl_and_inflate() { # label, config, list, download folder, game folder
  local start=$EPOCHREALTIME
  curl -sS --fail --create-dirs -K "$2"
  local fetched=$EPOCHREALTIME
  local name
  while IFS= read -r name; do
    zlib-flate -uncompress <"$4/$name" >"$5/$name"
  done <"$3"
  local end=$EPOCHREALTIME
  split_sample "$1" "$start" "$fetched" "$end"
}
split_sample() { # label, start, middle, end
  awk -v s="$2" -v f="$3" -v e="$4" -v out="$samples/$1" 'BEGIN {
    printf "%.6f\n", e - s >>out; printf "%.6f\n", f - s >>(out ".fetch")
    printf "%.6f\n", e - f >>(out ".inflate") }'
}
# The same with pigz, which inflates them all in one process: curl puts each
# packed file next to the local one as NAME.zz, pigz replaces NAME with it.
curl_and_pigz() { # label, config, list
  local start=$EPOCHREALTIME
  curl -sS --fail --create-dirs -K "$2"
  local fetched=$EPOCHREALTIME
  xargs -d '\n' pigz -d -f <"$3"
  local end=$EPOCHREALTIME
  split_sample "$1" "$start" "$fetched" "$end"
}

restore_old() { # game folder, old versions
  rm -f "$1/update.dat"
  cp -a "$2/." "$1/"
}

rounds_total=$((warmup + rounds))
is_warmup() { [ "$1" -le "$warmup" ]; }
# Warm-up runs are measured into a label of their own and not reported.
label_of() { # round, label
  if is_warmup "$1"; then echo "warmup.$2"; else echo "$2"; fi
}

# ---------------------------------------------------------------------------
if [ "$profile" = yes ]; then
  prof="$build/bench-profile"
  rm -rf "$prof"
  mkdir -p "$prof"
  say "Profiles into $prof"
  # callgrind counts instructions of every thread; the top of both listings
  # is kept.
  callgrind() { # name, folder
    updater_in "$2" valgrind --tool=callgrind --callgrind-out-file="$prof/$1.callgrind"
    callgrind_annotate --inclusive=yes "$prof/$1.callgrind" >"$prof/$1.inclusive.txt"
    callgrind_annotate "$prof/$1.callgrind" >"$prof/$1.self.txt"
  }
  # Time in each system call, summed over the threads: wall time (how long
  # the calls took) and system CPU time (what the kernel spent on them).
  syscalls() { # name, folder
    updater_in "$2" strace -f -c -w -o "$prof/$1.strace-wall.txt"
    $3
    updater_in "$2" strace -f -c -o "$prof/$1.strace-cpu.txt"
  }
  cpu() { # name, folder: user and system seconds of one updater run
    updater_in "$2" /usr/bin/time -f "%e s wall, %U s user, %S s system" -o "$prof/$1.cpu.txt"
  }
  # Runs the variants of an experiment in turn (each a function, named as its
  # samples), one round unmeasured and then five measured, restoring the
  # folder before each run, so that noise hits every variant alike.
  alternate() { # restore command or "", variant...
    local restore=$1
    shift
    for round in 0 1 2 3 4 5; do
      for variant in "$@"; do
        [ -z "$restore" ] || $restore
        if [ "$round" -eq 0 ]; then $variant; else timed "$variant" "$variant"; fi
      done
    done
  }
  # The updater with one experiment of bench/what_if.cpp switched on.
  what_if() { # variable, folder
    updater_in "$2" env LD_PRELOAD="$build/bench/libwhat_if.so" "$1=1"
  }
  quietly() { "$@" >/dev/null; }
  curl_each_new() { curl -sS --fail --create-dirs -H 'Connection: close' -K "$1"; }
  restore_game() { restore_old "$work/game-old" "$data/old"; }
  restore_small() { restore_old "$work/small-game" "$data/small-old"; }

  p0_updater() { updater_in "$work/empty-game"; }
  p1_updater() { updater_in "$work/game-current"; }
  p1_read() { quietly "$bench_data" read "$work/game-current"; }
  p1_read_crc() { quietly "$bench_data" read --crc "$work/game-current"; }
  p1_read_crc_libdeflate() { quietly "$bench_data" read --crc-libdeflate "$work/game-current"; }
  p2_updater() { updater_in "$work/game-old"; }
  p2_no_sync() { what_if BENCH_NO_SYNC "$work/game-old"; }
  p2_curl_reuse() { curl -sS --fail --create-dirs -K "$work/patched.curlrc"; }
  p2_curl_new() { curl_each_new "$work/patched.curlrc"; }
  p3_updater() { updater_in "$work/small-game"; }
  p3_short_poll() { what_if BENCH_SHORT_POLL "$work/small-game"; }
  p3_no_sync() { what_if BENCH_NO_SYNC "$work/small-game"; }
  p3_curl_reuse() { curl -sS --fail --create-dirs -K "$work/small.plain.curlrc"; }
  p3_curl_new() { curl_each_new "$work/small.plain.curlrc"; }

  say "Profile 0: nothing to do (an empty update.dat)"
  mkdir -p "$work/empty-release"
  "$pack" publish "$work/empty-release" "$work/site-empty" >/dev/null
  serve "$work/site-empty"
  make_game "$work/empty-game"
  alternate "" p0_updater

  say "Profile 1: check only"
  serve "$sites/game"
  crc_variants=(p1_read_crc)
  "$bench_data" read --crc-libdeflate "$work/empty-game" >/dev/null 2>&1 &&
    crc_variants+=(p1_read_crc_libdeflate)
  alternate "" p1_updater p1_read "${crc_variants[@]}"
  cpu p1 "$work/game-current"
  callgrind p1 "$work/game-current"

  say "Profile 2: patch"
  alternate restore_game p2_updater p2_no_sync
  curl_config "$work/patched.list" "$work/download" >"$work/patched.curlrc"
  alternate "" p2_curl_reuse p2_curl_new
  restore_game
  cpu p2 "$work/game-old"
  restore_game
  callgrind p2 "$work/game-old"
  restore_game
  syscalls p2 "$work/game-old" restore_game

  say "Profile 3: many small files"
  serve "$sites/small"
  alternate restore_small p3_updater p3_short_poll p3_no_sync
  curl_config "$work/small.list" "$work/download" >"$work/small.plain.curlrc"
  alternate "" p3_curl_reuse p3_curl_new
  restore_small
  cpu p3 "$work/small-game"
  restore_small
  callgrind p3 "$work/small-game"
  restore_small
  syscalls p3 "$work/small-game" restore_small

  {
    echo "# Profile of the updater ($(date -u '+%Y-%m-%d %H:%M UTC'), load $(cut -d' ' -f1-3 /proc/loadavg))"
    echo
    echo "Median (min–max) of five runs after one unmeasured, the variants of each group alternating; seconds:"
    echo
    for file in "$samples"/p*; do
      printf -- '- %s: %s\n' "$(basename "$file")" "$(stats <"$file" | awk '{ printf "%.3f (%.3f–%.3f)", $1, $2, $3 }')"
    done
    echo
    for name in p1 p2 p3; do
      echo "## $name"
      echo
      echo "CPU of one run: $(cat "$prof/$name.cpu.txt")"
      echo
      echo '```'
      sed -n '/PROGRAM TOTALS/,+25p' "$prof/$name.self.txt" | cut -c1-160
      echo '```'
      for kind in wall cpu; do
        [ -f "$prof/$name.strace-$kind.txt" ] || continue
        echo
        echo "System calls, $kind time summed over the threads (strace -f -c$([ $kind = wall ] && echo " -w")):"
        echo
        echo '```'
        head -22 "$prof/$name.strace-$kind.txt"
        echo '```'
      done
      echo
    done
  } >"$prof/summary.md"
  echo "Profile written to $prof/summary.md"
  exit 0
fi

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
if [ "$wait_quiet" = yes ]; then
  say "Waiting for a quiet machine (1-minute load below 0.5; up to 30 minutes)"
  for _ in $(seq 1 180); do
    awk '{ exit !($1 < 0.5) }' /proc/loadavg && break
    sleep 10
  done
  load_before=$(cut -d' ' -f1-3 /proc/loadavg)
fi
echo "load average before measuring: $load_before"
measure_start=$EPOCHREALTIME

# ---------------------------------------------------------------------------
say "1. Check only: $game_files files, $game_bytes, already current"
serve "$sites/game"
for round in $(seq 1 "$rounds_total"); do
  updater_run "$(label_of "$round" s1.updater)" "$work/game-current" 1 "" time
  timed "$(label_of "$round" s1.floor)" read_floor "$work/game-current"
  timed "$(label_of "$round" s1.cat)" read_cat "$work/game-current"
  timed "$(label_of "$round" s1.rsync)" rsync_checksum "$data/release" "$work/game-current"
done

# ---------------------------------------------------------------------------
say "2. Patch: $patched of those files changed ($patched_bytes)"
curl_config "$work/patched.list" "$work/download" >"$work/patched.curlrc"
curl_config "$work/patched.list" "$work/game-old" .zz >"$work/patched.pigz.curlrc"
sed 's|^\./||' "$work/patched.list" >"$work/patched.names"
sed "s|^\./|$work/game-old/|; s|\$|.zz|" "$work/patched.list" >"$work/patched.zz"
for round in $(seq 1 "$rounds_total"); do
  restore_old "$work/game-old" "$data/old"
  updater_run "$(label_of "$round" s2.updater)" "$work/game-old" $((patched + 1)) \
    "$work/patched.md5" time

  restore_old "$work/game-old" "$data/old"
  rm -rf "$work/download"
  curl_and_inflate "$(label_of "$round" s2.curl)" "$work/patched.curlrc" \
    "$work/patched.names" "$work/download" "$work/game-old"
  check_sums s2.curl "$work/game-old" "$work/patched.md5"

  restore_old "$work/game-old" "$data/old"
  curl_and_pigz "$(label_of "$round" s2.pigz)" "$work/patched.pigz.curlrc" "$work/patched.zz"
  check_sums s2.pigz "$work/game-old" "$work/patched.md5"

  restore_old "$work/game-old" "$data/old"
  timed "$(label_of "$round" s2.rsync)" rsync_daemon "$work/game-old"
  check_sums s2.rsync "$work/game-old" "$work/patched.md5"

  restore_old "$work/game-old" "$data/old"
  timed "$(label_of "$round" s2.rsync_checksum)" rsync_daemon_checksum "$work/game-old"
  check_sums s2.rsync_checksum "$work/game-old" "$work/patched.md5"

  restore_old "$work/game-old" "$data/old"
  timed "$(label_of "$round" s2.rsync_fsync)" rsync_daemon_fsync "$work/game-old"
  check_sums s2.rsync_fsync "$work/game-old" "$work/patched.md5"
done

# ---------------------------------------------------------------------------
say "3. Many small files: $small_files stale files of $small_size"
serve "$sites/small"
curl_config "$work/small.list" "$work/small-game" .zz >"$work/small.curlrc"
sed "s|^\./|$work/small-game/|; s|\$|.zz|" "$work/small.list" >"$work/small.zz"
for round in $(seq 1 "$rounds_total"); do
  restore_old "$work/small-game" "$data/small-old"
  updater_run "$(label_of "$round" s3.updater)" "$work/small-game" $((small_files + 1)) \
    "$work/small.md5" time

  restore_old "$work/small-game" "$data/small-old"
  curl_and_pigz "$(label_of "$round" s3.pigz)" "$work/small.curlrc" "$work/small.zz"
  check_sums s3.pigz "$work/small-game" "$work/small.md5"
done
rm -rf "$work/download"

# ---------------------------------------------------------------------------
say "4. Memory: checking, installing and publishing one file of ${single_sizes[*]}"
# Level 1 keeps twelve publishing runs inside the time budget; zlib's deflate
# state, and so the memory, is the same at every level.
pack_level=1
for size in "${single_sizes[@]}"; do
  single="$data/single-$size"
  make_game "$work/single-current"
  ln "$single/release/big.pak" "$work/single-current/big.pak"
  make_game "$work/single-install"
  serve "$work/site-single"
  for round in $(seq 1 "$rounds_total"); do
    measured "$(label_of "$round" "s4.pack.$size")" \
      "$pack" publish --force --level "$pack_level" "$single/release" "$work/site-single" \
      >/dev/null
    updater_run "$(label_of "$round" "s4.check.$size")" "$work/single-current" 1 "" memory
    rm -f "$work/single-install/big.pak" "$work/single-install/update.dat"
    updater_run "$(label_of "$round" "s4.install.$size")" "$work/single-install" 2 "" memory
    cmp -s "$single/release/big.pak" "$work/single-install/big.pak" ||
      fail "s4.install.$size: big.pak was not installed intact"
  done
  rm -rf "$work/single-current" "$work/single-install" "$work/site-single"
done

# ---------------------------------------------------------------------------
say "5. The engine: ZlibEngine::decompress against zlib's inflate"
mkdir -p "$work/tmp"
TMPDIR="$work/tmp" "$build/engine_bench" "$engine_mib" "$rounds" | tee "$work/engine.txt"

measure_seconds=$(awk -v s="$measure_start" -v e="$EPOCHREALTIME" 'BEGIN { printf "%.0f", e - s }')
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# ---------------------------------------------------------------------------
say "Results"
# ratios of two sample files, run by run
ratios() { paste "$1" "$2" | awk '{ printf "%.6f\n", $1 / $2 }'; }
median_ratio() { ratios "$samples/$1" "$samples/$2" | stats | cut -d' ' -f1; }
# "0.812 s (0.803–0.830)" from a sample file, scaled and formatted
show() { # file, scale, format, unit
  stats <"$1" | awk -v k="$2" -v f="$3" -v u="$4" \
    '{ printf f "%s (" f "–" f ")", $1 * k, u, $2 * k, $3 * k }'
}
seconds() { show "$samples/$1" 1 %.3f " s"; }
per_file() { show "$samples/$1" "$(awk -v n="$small_files" 'BEGIN { print 1000 / n }')" %.3f " ms"; }
ratio_row() { # text, updater label, baseline label
  ratios "$samples/$2" "$samples/$3" >"$work/ratio"
  printf '| %s | %s |\n' "$1" "$(show "$work/ratio" 1 %.2f x)"
}
goal() { # value, limit: "met" or "missed"
  awk -v v="$1" -v l="$2" 'BEGIN { print (v <= l) ? "met" : "**missed**" }'
}
# "2000 files, 1024.0 MiB: sizes 1.3 KiB to 74.7 MiB (median 25.1 KiB), ..."
describe() { # folder, generator's summary
  find "$1" -type f -printf '%s\n' | sort -n | awk -v kinds="$(cat "$2")" '
    function size(b) {
      return b >= 1048576 ? sprintf("%.1f MiB", b / 1048576) : sprintf("%.1f KiB", b / 1024)
    }
    { v[NR] = $1; s += $1; if ($1 > 8388608) large++ }
    END {
      n = split(kinds, k, " ")
      mix = ""
      for (i = 11; i < n; i += 2) mix = mix (mix == "" ? "" : ", ") k[i + 1] " " k[i]
      printf "%d files, %s: sizes %s to %s (median %s), %d over 8 MiB; of the bytes %s", NR,
        size(s), size(v[1]), size(v[NR]), size(v[int((NR + 1) / 2)]), large + 0, mix
    }'
}

s1_ratio=$(median_ratio s1.updater s1.floor)
s2_ratio=$(median_ratio s2.updater s2.rsync)
s3_per_file=$(stats <"$samples/s3.updater" | awk -v n="$small_files" '{ print $1 * 1000 / n }')
s4_worst=$(cat "$samples"/s4.*.rss | sort -n | tail -1)
commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
git diff --quiet HEAD -- src tools 2>/dev/null || commit+=" (with uncommitted changes in src/ or tools/)"
b=$(basename "$build")

{
  echo "# Benchmark results"
  echo
  [ "$quick" = yes ] && echo "**A --quick run: a few files, one run each; the figures mean nothing.**" && echo
  echo "Recorded $(date -u '+%Y-%m-%d %H:%M UTC') by \`bench/run.sh$([ "$quick" = yes ] && echo " --quick")\`" \
    "at commit $commit, $build_type build in \`$b/\` (GTK linked: $gtk_linked)." \
    "Every scenario ran $warmup time(s) to warm up, then $rounds time(s) measured, the" \
    "updater and its baselines alternating. A figure is the median of the measured runs," \
    "with the minimum–maximum in brackets; a ratio is taken run by run (the updater's run" \
    "against the baseline's run of the same round), then its median and range are shown." \
    "The page cache is warm throughout: every figure is CPU and loopback, no disk." \
    "Measuring took ${measure_seconds} s."
  echo
  echo "## Machine"
  echo
  echo "| | |"
  echo "|---|---|"
  echo "| CPU | $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), $(nproc) cores |"
  echo "| Memory | $(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo) |"
  echo "| Kernel | $(uname -sr) |"
  echo "| System | $(. /etc/os-release && echo "$PRETTY_NAME") |"
  echo "| Load average (1, 5, 15 min) | before measuring: $load_before; after: $load_after |"
  echo "| Tools | $("$nginx" -v 2>&1 | sed 's/.*: //'), rsync $(rsync --version | head -1 | awk '{ print $3 }')," \
    "curl $(curl --version | head -1 | awk '{ print $2 }'), qpdf (zlib-flate) $(dpkg-query -W -f='${Version}' qpdf)," \
    "pigz $(dpkg-query -W -f='${Version}' pigz), zlib $(dpkg-query -W -f='${Version}' zlib1g) |"
  echo
  echo "## Goals"
  echo
  echo "| Scenario | Goal | Measured | |"
  echo "|---|---|---|---|"
  echo "| 1. Check only | within 2x the read floor | $(printf %.2f "$s1_ratio")x | $(goal "$s1_ratio" 2) |"
  echo "| 2. Patch | no slower than rsync | $(printf %.2f "$s2_ratio")x rsync's time | $(goal "$s2_ratio" 1) |"
  echo "| 3. Many small files | under 2 ms per file | $(printf %.2f "$s3_per_file") ms | $(goal "$s3_per_file" 2) |"
  echo "| 4. Memory | under 32 MiB, whatever the file size | at most" \
    "$(awk -v k="$s4_worst" 'BEGIN { printf "%.1f", k / 1024 }') MiB | $(goal "$s4_worst" 32768) |"
  echo
  echo "## 1. Check only"
  echo
  echo "A game folder that is already current, $(describe "$data/release" "$data/game.txt")." \
    "The updater fetches update.dat and reads every file for its CRC-32; it downloads nothing" \
    "(checked: one request per run)."
  echo
  echo "| Run | Time |"
  echo "|---|---|"
  echo "| brightwick-updater, whole run | $(seconds s1.updater) |"
  echo "| read floor: every file read once (\`bench_data read\`, one 256 KiB buffer) | $(seconds s1.floor) |"
  echo "| cat of every file (for reference) | $(seconds s1.cat) |"
  echo "| rsync --checksum --dry-run between two local copies | $(seconds s1.rsync) |"
  echo
  echo "| Ratio, run by run | median (min–max) |"
  echo "|---|---|"
  ratio_row "updater / read floor" s1.updater s1.floor
  ratio_row "updater / cat" s1.updater s1.cat
  ratio_row "updater / rsync --checksum" s1.updater s1.rsync
  echo
  echo "## 2. Patch"
  echo
  echo "The same game at the old version: $patched files differ," \
    "$(awk '{ printf "%.1f MiB", $8 / 1048576 }' "$data/game.txt") unpacked in the new release." \
    "Every run starts from the same old folder, restored outside the timed part, and is" \
    "checked afterwards (MD5 of every patched file)."
  echo
  echo "| Run | Time |"
  echo "|---|---|"
  echo "| brightwick-updater, whole run: checks every file, fetches and inflates the changed ones | $(seconds s2.updater) |"
  echo "| curl (one process, all packed files) + zlib-flate for each | $(seconds s2.curl) |"
  echo "| &nbsp;&nbsp;of which curl | $(seconds s2.curl.fetch) |"
  echo "| &nbsp;&nbsp;of which zlib-flate | $(seconds s2.curl.inflate) |"
  echo "| curl (one process) + pigz (one process) | $(seconds s2.pigz) |"
  echo "| &nbsp;&nbsp;of which pigz | $(seconds s2.pigz.inflate) |"
  echo "| rsync daemon, --whole-file (its size-and-date check) | $(seconds s2.rsync) |"
  echo "| rsync daemon, --whole-file --checksum (reads every file on both sides) | $(seconds s2.rsync_checksum) |"
  echo "| rsync daemon, --whole-file --fsync (each new file on the disk, as the updater does) | $(seconds s2.rsync_fsync) |"
  echo
  echo "| Ratio, run by run | median (min–max) |"
  echo "|---|---|"
  ratio_row "updater / curl + zlib-flate" s2.updater s2.curl
  ratio_row "updater / curl + pigz" s2.updater s2.pigz
  ratio_row "updater / rsync" s2.updater s2.rsync
  ratio_row "updater / rsync --checksum" s2.updater s2.rsync_checksum
  ratio_row "updater / rsync --fsync" s2.updater s2.rsync_fsync
  echo
  echo "## 3. Many small files"
  echo
  echo "$(describe "$data/small-release" "$data/small.txt"); every one stale (same size," \
    "other contents). zlib-flate is left out here: one process per file costs tens of" \
    "milliseconds each (scenario 2 shows it), so pigz inflates them all in one process."
  echo
  echo "| Run | Time | Per file |"
  echo "|---|---|---|"
  echo "| brightwick-updater, whole run | $(seconds s3.updater) | $(per_file s3.updater) |"
  echo "| curl (one process) + pigz (one process) | $(seconds s3.pigz) | $(per_file s3.pigz) |"
  echo "| &nbsp;&nbsp;of which curl | $(seconds s3.pigz.fetch) | $(per_file s3.pigz.fetch) |"
  echo "| &nbsp;&nbsp;of which pigz | $(seconds s3.pigz.inflate) | $(per_file s3.pigz.inflate) |"
  echo
  echo "| Ratio, run by run | median (min–max) |"
  echo "|---|---|"
  ratio_row "updater / curl + pigz" s3.updater s3.pigz
  ratio_row "updater / curl alone" s3.updater s3.pigz.fetch
  echo
  echo "## 4. Memory"
  echo
  echo "Peak resident memory of the whole process (\`/usr/bin/time -f %M\`, the maximum" \
    "resident set size) for one file of each size: checking it when it is current," \
    "installing it when it is missing (download and inflate), publishing it" \
    "(\`--force --level $pack_level\`)."
  echo
  echo "| Operation | File | Peak memory | Time |"
  echo "|---|---|---|---|"
  for op in check install pack; do
    for size in "${single_sizes[@]}"; do
      echo "| $([ $op = pack ] && echo publish || echo $op) | $size |" \
        "$(show "$samples/s4.$op.$size.rss" 0.0009765625 %.1f " MiB") | $(seconds "s4.$op.$size") |"
    done
  done
  echo
  echo "## 5. The engine"
  echo
  echo "\`engine_bench $engine_mib $rounds\`:"
  echo
  echo '```'
  cat "$work/engine.txt"
  echo '```'
  echo
  echo "## Commands"
  echo
  echo "\`\$DATA\` is \`$b/bench-data\`, \`\$SITES\` \`$b/bench-sites\`, \`\$WORK\`" \
    "\`$b/bench-work\`. nginx served \`\$WORK/www\` on 127.0.0.1:$nginx_port" \
    "(\`\$WORK/nginx/nginx.conf\`: one worker, sendfile, access log), \`$url_path\` being a link" \
    "to the scenario's published folder; the rsync daemon listened on 127.0.0.1:$rsync_port" \
    "(module \`game\` = \`\$DATA/release\`)."
  echo
  echo '```sh'
  echo "# Data and sites (not timed)"
  echo "bench_data game --seed $seed --files $game_files --bytes $game_bytes --patched $patched --patched-bytes $patched_bytes \$DATA/release \$DATA/old"
  echo "bench_data uniform --seed $seed --files $small_files --size $small_size \$DATA/small-release \$DATA/small-old"
  echo "bench_data file --seed $seed --bytes SIZE \$DATA/single-SIZE/release/big.pak"
  echo "brightwick-pack publish \$DATA/release \$SITES/game          # level 9, the default"
  echo "brightwick-pack publish \$DATA/small-release \$SITES/small"
  echo "# The updater, in the game folder GAME (tdx.exe there is 'exit 0')"
  echo "cd GAME && env -u DISPLAY -u WAYLAND_DISPLAY -u no_proxy -u NO_PROXY -u all_proxy -u ALL_PROXY -u https_proxy \\"
  echo "  http_proxy=http://127.0.0.1:$nginx_port brightwick-updater >/dev/null"
  echo "# 1."
  echo "bench_data read \$WORK/game-current"
  echo "cd \$WORK/game-current && find . -type f -print0 | xargs -0 cat >/dev/null"
  echo "rsync -a --checksum --dry-run \$DATA/release/ \$WORK/game-current/"
  echo "# 2. and 3. (a config holds url = \"http://127.0.0.1:$nginx_port${url_path}NAME\" and output = \"...\" for each file)"
  echo "curl -sS --fail --create-dirs -K patched.curlrc                 # into \$WORK/download/NAME"
  echo "for NAME in PATCHED; do zlib-flate -uncompress <\$WORK/download/NAME >GAME/NAME; done"
  echo "curl -sS --fail --create-dirs -K LIST.curlrc                    # into GAME/NAME.zz"
  echo "xargs -d '\\n' pigz -d -f <LIST.zz                             # GAME/NAME.zz -> GAME/NAME"
  echo "rsync -a --whole-file [--checksum | --fsync] rsync://127.0.0.1:$rsync_port/game/ \$WORK/game-old/"
  echo "# between runs (not timed)"
  echo "rm -f GAME/update.dat && cp -a OLD_VERSIONS/. GAME/"
  echo "# 4."
  echo "/usr/bin/time -f %M brightwick-pack publish --force --level $pack_level \$DATA/single-SIZE/release \$WORK/site-single"
  echo "/usr/bin/time -f %M brightwick-updater     # (as above) with big.pak current, then without it"
  echo "# 5."
  echo "engine_bench $engine_mib $rounds"
  echo '```'
  echo
  echo "## Raw samples"
  echo
  echo "Seconds, in the order measured; \`.rss\`: KiB."
  echo
  echo '```'
  for file in "$samples"/s*; do
    printf '%-22s %s\n' "$(basename "$file")" "$(tr '\n' ' ' <"$file")"
  done
  echo '```'
} >"$out"

# The copies of the games are made anew by every run; the samples and the
# servers' logs stay for a look.
rm -rf "$work/game-current" "$work/game-old" "$work/small-game" "$work/tmp"
echo "Results written to $out"
awk '/^## Goals/,/^## 1\./' "$out" | sed '$d'
awk -v s="$script_start" -v e="$EPOCHREALTIME" 'BEGIN { printf "bench/run.sh took %.0f s\n", e - s }'
