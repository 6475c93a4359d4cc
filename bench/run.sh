#!/usr/bin/env bash
# Benchmarks brightwick-updater and brightwick-pack against the tools a studio
# would use instead, on loopback, and writes bench/results.md; the work is
# bench/bench.py's (bench/run.sh --help lists the options, bench/README.md
# explains the scenarios). Here only: Debian's Python 3, which that needs
# (its standard library alone; not whatever python3 comes first in PATH).
set -euo pipefail
if [ ! -x /usr/bin/python3 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends python3
fi
exec /usr/bin/python3 -B "$(dirname "$0")/bench.py" "$@"
