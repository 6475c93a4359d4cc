#!/usr/bin/env bash
# The whole update cycle on this machine, from a fresh checkout:
#   1. installs what it needs (scripts/install-deps.sh; nginx serves the files);
#   2. builds brightwick-pack, makes a throwaway signing key pair with it, and
#      builds brightwick-updater with that public key built in, in
#      build-demo/ (kept, so a second run is quick; BRIGHTWICK_DEMO_BUILD
#      names another folder);
#   3. makes a sample game folder at version 1 and a release at version 2;
#   4. publishes version 2, signed, and serves it with nginx on
#      http://127.0.0.1:8080/updates/, the updater's built-in default;
#   5. runs brightwick-updater in the version 1 folder (a window when there is
#      a display, the terminal otherwise) and shows what changed, the log and
#      the started game;
#   6. plays an attacker who serves a tampered tdx.exe with the original's
#      size and a forged matching CRC-32: the updater refuses it;
#   7. publishes version 3, which changes a large file a little, with delta
#      patches, runs the updater again and shows from nginx's access log the
#      bytes of the patch against those of the whole file; then stops nginx.
# Everything else happens in a temporary folder that is removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
build=${BRIGHTWICK_DEMO_BUILD:-build-demo}
case "$build" in /*) ;; *) build="$repo/$build" ;; esac
port=8080

say() { printf '\n== %s\n' "$*"; }
fail() {
  printf 'demo: %s\n' "$*" >&2
  exit 1
}
port_taken() { (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; }
port_message() {
  echo "port $port on 127.0.0.1 is already in use. The updater is built to fetch" \
    "http://127.0.0.1:$port/updates/, so the demo's server needs that port: stop what" \
    "listens there (\`ss -ltnp 'sport = :$port'\` names it) and run the demo again."
}

say "Installing what the demo needs (scripts/install-deps.sh)"
scripts/install-deps.sh
nginx=$(command -v nginx || echo /usr/sbin/nginx)
[ -x "$nginx" ] || fail "nginx is missing although scripts/install-deps.sh ran"
port_taken && fail "$(port_message)"

work=$(mktemp -d "${TMPDIR:-/tmp}/brightwick-demo-XXXXXX")
say "Building brightwick-pack in $build/ and making a throwaway signing key"
cmake -S . -B "$build" -G Ninja -DUPDATE_BASE_URL="http://127.0.0.1:$port/updates/" \
  -DBRIGHTWICK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target brightwick-pack
pack="$build/brightwick-pack"
"$pack" keygen "$work/studio.key"

say "Building brightwick-updater with that public key built in"
cmake -S . -B "$build" -DUPDATE_PUBLIC_KEYS="$(cat "$work/studio.key.pub")" >/dev/null
cmake --build "$build" -j 2 --target brightwick-updater
updater="$build/brightwick-updater"
nginx_pid=""
cleanup() {
  if [ -n "$nginx_pid" ] && kill -0 "$nginx_pid" 2>/dev/null; then
    kill "$nginx_pid"
    wait "$nginx_pid" 2>/dev/null || true
    echo "nginx stopped."
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say "Making the sample game: version 1 installed in $work/game, version 2 released"
game="$work/game"
release="$work/release-2"
mkdir -p "$game/data" "$game/sounds" "$release/data" "$release/sounds"
# The stand-in game leaves a mark where and when it was started.
printf '#!/bin/sh\necho "tdx.exe version 1 started in $(pwd) at $(date +%%T)" > started.txt\n' >"$game/tdx.exe"
printf '#!/bin/sh\necho "tdx.exe version 2 started in $(pwd) at $(date +%%T)" > started.txt\n' >"$release/tdx.exe"
chmod 755 "$game/tdx.exe" "$release/tdx.exe"
printf 'Sample game, version 1\n' >"$game/readme.txt"
printf 'Sample game, version 2: new theme music, a harder level 3\n' >"$release/readme.txt"
seq 1 20000 | sed 's/^/level 1 row /' >"$game/data/levels.dat"
seq 1 30000 | sed 's/^/level 2 row /' >"$release/data/levels.dat"
head -c 300000 /dev/urandom >"$game/data/textures.pak"
head -c 16000000 /dev/urandom >"$release/data/textures.pak"
head -c 500000 /dev/urandom >"$release/sounds/theme.ogg" # new in version 2
(cd "$release" && find . -type f | sort | sed 's|^\./|  |')

say "Publishing version 2, signed, with brightwick-pack into the server's updates/ folder"
site="$work/site"
"$pack" publish --verbose --sign "$work/studio.key" "$release" "$site/updates"
"$pack" verify --key "$work/studio.key.pub" "$site/updates"
echo "update.dat:"
sed 's/^/  /' "$site/updates/update.dat"

say "Serving it with nginx on http://127.0.0.1:$port/updates/"
mkdir -p "$work/nginx/tmp"
user=""
[ "$(id -u)" -eq 0 ] && user="user root;"
sed -e "s|@PREFIX@|$work/nginx|g" -e "s|@USER@|$user|" -e "s|@LOG_FORMAT@|combined|" \
  -e "s|@SERVERS@|  server { listen 127.0.0.1:$port; root \"$site\"; }|" \
  scripts/nginx.conf.in >"$work/nginx/nginx.conf"
"$nginx" -p "$work/nginx/" -e "$work/nginx/error.log" -c "$work/nginx/nginx.conf" &
nginx_pid=$!
# Ready once it answers for the manifest; bounded, and a failed start (the
# port taken meanwhile, for one) ends the demo with nginx's own words.
ready=""
for _ in $(seq 1 100); do
  if ! kill -0 "$nginx_pid" 2>/dev/null; then
    nginx_pid=""
    grep -q "Address already in use" "$work/nginx/error.log" 2>/dev/null && fail "$(port_message)"
    fail "nginx did not start: $(cat "$work/nginx/error.log" 2>/dev/null)"
  fi
  status=$( (
    exec 3<>"/dev/tcp/127.0.0.1/$port"
    printf 'GET /updates/update.dat HTTP/1.0\r\nHost: 127.0.0.1\r\nUser-Agent: demo.sh readiness check\r\n\r\n' >&3
    read -r -t 5 line <&3 && echo "$line"
  ) 2>/dev/null || true)
  case "$status" in "HTTP/1."?" 200"*) ready=yes && break ;; esac
  sleep 0.1
done
[ -n "$ready" ] || fail "nginx did not answer on port $port within 10 seconds"
echo "nginx is serving (pid $nginx_pid)."

say "Running brightwick-updater in the version 1 folder"
cp -p "$game/tdx.exe" "$work/game-v1-tdx.exe"
(cd "$game" && find . -type f ! -name '*.log' | sort | xargs cksum) >"$work/before"
# Nothing in the environment may divert the updater to another server.
code=0
(cd "$game" && env -u http_proxy -u HTTP_PROXY -u all_proxy -u ALL_PROXY "$updater") || code=$?
echo "brightwick-updater exited with code $code."

say "What changed in the game folder"
(cd "$game" && find . -type f ! -name '*.log' ! -name started.txt ! -name 'update.*' |
  sort | xargs cksum) >"$work/after"
while read -r sum size name; do
  old=$(awk -v n="$name" '$3 == n { print $1 " " $2 }' "$work/before")
  if [ -z "$old" ]; then
    echo "  added      ${name#./} ($size bytes)"
  elif [ "$old" != "$sum $size" ]; then
    echo "  updated    ${name#./} (${old#* } -> $size bytes)"
  else
    echo "  unchanged  ${name#./}"
  fi
done <"$work/after"
if diff -rq -x '*.log' -x started.txt -x 'update.*' "$release" "$game" >/dev/null; then
  echo "The game folder now equals release 2, byte for byte (plus the updater's own files:" \
    "update.dat, the manifest it downloaded; update.state, the signature serial it" \
    "accepted; update.lock)."
else
  echo "The game folder differs from release 2:"
  diff -rq -x '*.log' -x started.txt -x 'update.*' "$release" "$game" || true
fi

say "What nginx served"
sed 's/^/  /' "$work/nginx/access.log"

say "The updater's log"
if ls "$game"/*.log >/dev/null 2>&1; then
  cat "$game"/*.log
  echo
else
  echo "  (no log file: the update had no problems)"
fi

say "The game"
# The updater starts the game and exits without waiting for it.
for _ in $(seq 1 100); do
  [ -s "$game/started.txt" ] && break
  sleep 0.1
done
if [ -s "$game/started.txt" ]; then
  echo "  $(cat "$game/started.txt")"
else
  fail "the game was not started within 10 seconds"
fi
run_updater() { # folder
  rm -f "$1/started.txt"
  (cd "$1" && env -u http_proxy -u HTTP_PROXY -u all_proxy -u ALL_PROXY "$updater") >/dev/null
  for _ in $(seq 1 100); do
    [ -s "$1/started.txt" ] && break
    sleep 0.1
  done
}

say "An attacker serves a tampered tdx.exe: the original's size, a forged matching CRC-32"
# The player's tdx.exe is one version behind, so the updater will fetch it.
cp -p "$work/game-v1-tdx.exe" "$game/tdx.exe"
cp "$site/updates/tdx.exe" "$work/real-tdx.exe.z"
size=$(stat -c %s "$release/tdx.exe")
printf '#!/bin/sh\necho "EVIL: this is not the studio'"'"'s game" > started.txt\n' |
  head -c "$size" >"$work/evil"
truncate -s "$size" "$work/evil"
scripts/forge-crc.py "$work/evil" "$release/tdx.exe" "$site/updates/tdx.exe"
describe='import sys, zlib
d = open(sys.argv[1], "rb").read()
d = zlib.decompress(d) if sys.argv[2:] else d
print(len(d), "bytes, CRC-32", zlib.crc32(d), "- begins", d[:40])'
echo "  the release's tdx.exe: $(python3 -c "$describe" "$release/tdx.exe")"
echo "  the one served now:    $(python3 -c "$describe" "$site/updates/tdx.exe" packed)"
(cd "$game" && find . -type f ! -name '*.log' ! -name started.txt | sort | xargs cksum) >"$work/before-attack"
rm -f "$game"/*.log
run_updater "$game"
(cd "$game" && find . -type f ! -name '*.log' ! -name started.txt | sort | xargs cksum) >"$work/after-attack"
if cmp -s "$work/before-attack" "$work/after-attack" && ! grep -q EVIL "$game/tdx.exe"; then
  echo "Refused: the game folder is as it was, tdx.exe still the player's own."
else
  fail "the tampered tdx.exe was installed"
fi
echo "The updater's log:"
cat "$game"/*.log
echo
echo "  $(cat "$game/started.txt" 2>/dev/null)"
cp "$work/real-tdx.exe.z" "$site/updates/tdx.exe"

say "Version 3 changes a few kilobytes of the 16 MB data/textures.pak: published with patches"
release3="$work/release-3"
cp -a "$release" "$release3"
for offset in 1000000 7000000 12000000; do
  head -c 4096 /dev/urandom | dd of="$release3/data/textures.pak" bs=1 seek="$offset" conv=notrunc 2>/dev/null
done
"$pack" publish --sign "$work/studio.key" "$release3" "$site/updates"
"$pack" verify --key "$work/studio.key.pub" "$site/updates"
: >"$work/nginx/access.log"
run_updater "$game"
if cmp -s "$release3/data/textures.pak" "$game/data/textures.pak"; then
  echo "data/textures.pak is now version 3."
else
  fail "data/textures.pak is not version 3"
fi
echo "What nginx served for this run (request, status, bytes):"
awk '{ print "  " $7, $9, $10 }' "$work/nginx/access.log"
patch_bytes=$(awk '$7 ~ /update\.d\/patches\// { s += $10 } END { print s + 0 }' "$work/nginx/access.log")
echo "The patch: $patch_bytes bytes; the whole packed file would have been" \
  "$(stat -c %s "$site/updates/data/textures.pak") bytes."

say "Done; the temporary folder $work is removed."
