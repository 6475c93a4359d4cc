# What scripts/build-curl-mingw.sh and scripts/build-sodium-mingw.sh share:
# a static library for one MinGW target, built from Debian's own source
# package and cached under ${XDG_CACHE_HOME:-~/.cache}/brightwick/NAME-ARCH-
# VERSION as long as its recipe is unchanged. Sourced, not run.

# NAME PACKAGE ARCH: sets triple, cache, dsc and version, and log().
mingw_library_target() {
  name=$1 package=$2 arch=$3
  case "$arch" in
    i686) triple=i686-w64-mingw32 ;;
    x86_64) triple=x86_64-w64-mingw32 ;;
    *)
      echo "usage: $0 i686|x86_64" >&2
      exit 2
      ;;
  esac
  cache=${XDG_CACHE_HOME:-$HOME/.cache}/brightwick
  mkdir -p "$cache"
  dsc=$(scripts/fetch-deb-source.sh "$package" | tail -n 1)
  version=$(basename "$dsc" .dsc)
  version=${version#"${package}"_}
}

log() { printf '[%s %s] %s\n' "$name" "$arch" "$*" >&2; }

# LIBRARY RECIPE...: prints the prefix and exits if a build of this recipe is
# cached; otherwise unpacks the source (Debian's patches applied) into
# $work/src, a scratch folder removed at exit, and sets prefix and recipe.
mingw_library_unless_cached() {
  local library=$1
  shift
  recipe=$(printf '%s\n' "$version" "$@" | sha256sum | cut -c1-12)
  prefix="$cache/$name-$arch-$version"
  if [ -f "$prefix/.recipe" ] && [ "$(cat "$prefix/.recipe")" = "$recipe" ] &&
    [ -f "$prefix/lib/$library" ]; then
    log "cached: $prefix"
    echo "$prefix"
    exit 0
  fi
  work=$(mktemp -d "$cache/build-$name-$arch.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  dpkg-source --no-check -x "$dsc" "$work/src" >/dev/null
}

# Runs the build command given, its output in a log shown only on failure.
mingw_library_build() {
  "$@" >"$work/build.log" 2>&1 || {
    tail -n 50 "$work/build.log" >&2
    exit 1
  }
}

# INSTALL: moves the finished install folder into place whole, so an
# interrupted build never looks cached, and prints the prefix.
mingw_library_install() {
  echo "$recipe" >"$1/.recipe"
  rm -rf "$prefix"
  mv "$1" "$prefix"
  log "installed: $prefix"
  echo "$prefix"
}
