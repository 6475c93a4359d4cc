#!/usr/bin/env bash
# Makes this Debian 12 machine run 32-bit Windows programs with Wine, for the
# tests of the i686 updater. Each step is taken only when it is missing, so
# running it again changes nothing:
#   1. the i386 architecture and Debian's wine32:i386 (with wine and wine64);
#   2. only if the kernel refuses 32-bit programs: qemu-user 10 from
#      bookworm-backports (an apt source is added for it) and an i386 entry
#      in binfmt_misc, so every 32-bit program, Wine's own re-executions of
#      its loader included, runs through qemu. Bookworm's own qemu 7.2 takes
#      minutes per Wine process, so an entry using an older qemu is replaced.
# Fails, saying why, when 32-bit Wine cannot be made to run here.
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; else sudo=""; fi
log() { printf '[wine32] %s\n' "$*" >&2; }
fail() {
  log "cannot run 32-bit Windows programs on this machine: $*"
  exit 1
}
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
install() {
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "$@"
  $sudo apt-get clean  # as in install-deps.sh: the disk is for the tests
}
loader=/usr/lib/wine/wine
runs32() { "$loader" --version >/dev/null 2>&1; }
# Whether the qemu at $1 (a binfmt entry may name it through a link) is 10 or later.
new_qemu() {
  local major
  major=$("$(readlink -f "$1")" --version 2>/dev/null | sed -n 's/.*version \([0-9]*\)\..*/\1/p')
  [ -n "$major" ] && [ "$major" -ge 10 ]
}

[ "$(dpkg --print-architecture)" = amd64 ] || fail "made for amd64 Debian, this is $(dpkg --print-architecture)"

if ! installed wine32:i386; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    log "adding the i386 architecture"
    $sudo dpkg --add-architecture i386
  fi
  log "installing wine32:i386 (this also brings amd64 libraries up to the i386 versions)"
  $sudo apt-get update -q
  install wine wine32:i386 wine64
fi

entry=/proc/sys/fs/binfmt_misc/qemu-i386
if [ -e "$entry" ] && ! new_qemu "$(sed -n 's/^interpreter //p' "$entry")"; then
  log "removing the binfmt_misc entry that runs i386 through an old qemu"
  echo -1 | $sudo tee "$entry" >/dev/null
fi
if runs32; then
  if [ -e "$entry" ]; then log "32-bit Wine runs through qemu"; else log "32-bit Wine runs natively"; fi
  exit 0
fi

log "this kernel refuses 32-bit programs: running them through qemu-user"
if ! new_qemu /usr/bin/qemu-i386; then
  if ! grep -qs bookworm-backports /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
    /etc/apt/sources.list.d/*.sources; then
    uri=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1)
    [ -n "$uri" ] || fail "no Debian apt source to add bookworm-backports beside"
    log "adding the bookworm-backports apt source"
    printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nSigned-By: %s\n' \
      "$uri" /usr/share/keyrings/debian-archive-keyring.gpg |
      $sudo tee /etc/apt/sources.list.d/bookworm-backports.sources >/dev/null
  fi
  $sudo apt-get update -q
  install -t bookworm-backports qemu-user
fi
if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
  $sudo mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc ||
    fail "binfmt_misc cannot be mounted"
fi
if [ ! -e "$entry" ]; then
  log "registering qemu-i386 in binfmt_misc"
  $sudo tee /proc/sys/fs/binfmt_misc/register </usr/share/qemu/binfmt.d/qemu-i386.conf >/dev/null ||
    fail "binfmt_misc refused the qemu-i386 entry"
fi
# A disabled entry, or binfmt_misc switched off as a whole.
for switch in /proc/sys/fs/binfmt_misc/status "$entry"; do
  grep -qx enabled "$switch" || echo 1 | $sudo tee "$switch" >/dev/null
done
runs32 || fail "$loader does not start even through qemu: $("$loader" --version 2>&1 | head -n 1)"
log "32-bit Wine runs through qemu"
