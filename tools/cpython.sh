#!/usr/bin/env bash
# Finds or builds CPython VERSION (3.13, 3.14, 3.15), free-threaded with "t", and prints its interpreter.
#
#   tools/cpython.sh 3.14 t      # the free-threaded 3.14
#   tools/cpython.sh 3.15        # the GIL 3.15
#   tools/cpython.sh --fetch 3.14 3.15   # only fetches the source packages (one apt run for all)
#
# Order: pythonX.Y[t] on PATH, then the per-user cache, then a build from Debian's pythonX.Y
# source package (3.13 from trixie, later ones from sid) fetched with a private apt configuration,
# so the system's own apt sources are never touched. Builds of different interpreters may run at
# once; fetches must not (they share the private apt state).
set -euo pipefail

cache_root="${VOREL_CACHE:-$HOME/.cache/vorel}"
work="$cache_root/src"
here=$(cd "$(dirname "$0")" && pwd)

log() { echo "cpython: $*" >&2; }

# The source package of each version: 3.13 as trixie has it, the later ones pinned to releases
# of sid that its pool serves.
source_of() {
  case $1 in
    3.13) echo python3.13/trixie ;;
    3.14) echo python3.14=3.14.9-1 ;;
    3.15) echo python3.15=3.15.2-1 ;;
    *) log "no source package known for CPython $1"; exit 2 ;;
  esac
}

# Installs what CPython's optional modules need to build (ssl, sqlite3, readline, lzma, zstd...).
build_deps() {
  local p missing=()
  for p in build-essential pkg-config xz-utils libssl-dev libffi-dev zlib1g-dev libbz2-dev liblzma-dev \
           libsqlite3-dev libreadline-dev uuid-dev libncurses-dev libgdbm-dev libzstd-dev libexpat1-dev; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing build dependencies: ${missing[*]}"
  apt-get update -qq >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Downloads pythonX.Y's source package unless it is in the cache.
fetch() { local v; for v in "$@"; do "$here/debian-source.sh" "python$v" "$(source_of "$v")" >/dev/null; done; }

if [ "${1:-}" = --fetch ]; then
  shift
  build_deps
  fetch "$@"
  exit 0
fi

version=${1:?usage: tools/cpython.sh VERSION [t]}
t=${2:-}
[ -z "$t" ] || [ "$t" = t ] || { log "the second argument is t (free-threaded) or nothing"; exit 2; }
want_ft=$([ "$t" = t ] && echo 1 || echo 0)
name="python$version$t"

is_wanted() {
  "$1" -c "import sys, sysconfig; sys.exit(0 if '%d.%d' % sys.version_info[:2] == '$version' and
           bool(sysconfig.get_config_var('Py_GIL_DISABLED')) == bool($want_ft) else 1)" 2>/dev/null
}

if command -v "$name" >/dev/null 2>&1 && is_wanted "$(command -v "$name")"; then
  command -v "$name"
  exit 0
fi
for candidate in "$cache_root"/cpython-"$version".*"$t"/bin/"$name"; do
  if [ -x "$candidate" ] && is_wanted "$candidate"; then
    echo "$candidate"
    exit 0
  fi
done

build_deps
fetch "$version"
orig=$(ls "$work"/python"$version"_*.orig.tar.* | grep -v '\.asc$' | sort -V | tail -n 1)
full=$(basename "$orig" | sed -E "s/^python${version//./\\.}_([0-9]+\.[0-9]+\.[0-9]+).*$/\1/")
prefix="$cache_root/cpython-$full$t"
build="$work/build-$version$t"

rm -rf "$build"
mkdir -p "$build"
tar -xf "$orig" -C "$build" --strip-components=1
cd "$build"
log "building CPython $full${t:+ (free-threaded)} into $prefix (a few minutes)"
flags=(--quiet --prefix="$prefix" --with-ensurepip=install)
[ -z "$t" ] || flags+=(--disable-gil)
./configure "${flags[@]}" >&2
make -j"${VOREL_CPYTHON_JOBS:-$(nproc)}" -s >"$build.log" 2>&1 || { tail -n 40 "$build.log" >&2; exit 1; }
make -s install >>"$build.log" 2>&1 || { tail -n 40 "$build.log" >&2; exit 1; }
cd "$cache_root"
rm -rf "$build"

is_wanted "$prefix/bin/$name" || { log "the build did not produce $name"; exit 1; }
echo "$prefix/bin/$name"
