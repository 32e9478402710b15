#!/usr/bin/env bash
# Finds or builds a free-threaded CPython 3.13 and prints the path of its interpreter.
#
# Order: python3.13t on PATH, then the per-user cache, then a build from Debian's
# python3.13 source package (suite trixie) fetched with a private apt configuration,
# so the system's own apt sources are never touched.
set -euo pipefail

cache_root="${VOREL_CACHE:-$HOME/.cache/vorel}"

is_free_threaded() {
  "$1" -c 'import sys, sysconfig; sys.exit(0 if sys.version_info[:2] == (3, 13) and sysconfig.get_config_var("Py_GIL_DISABLED") else 1)' 2>/dev/null
}

if command -v python3.13t >/dev/null 2>&1 && is_free_threaded "$(command -v python3.13t)"; then
  command -v python3.13t
  exit 0
fi

for candidate in "$cache_root"/cpython-3.13.*t/bin/python3.13t; do
  if [ -x "$candidate" ] && is_free_threaded "$candidate"; then
    echo "$candidate"
    exit 0
  fi
done

log() { echo "free-threaded-python: $*" >&2; }

build_deps=(build-essential pkg-config xz-utils libssl-dev libffi-dev zlib1g-dev libbz2-dev
            liblzma-dev libsqlite3-dev libreadline-dev uuid-dev libncurses-dev libgdbm-dev)
missing=()
for p in "${build_deps[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing build dependencies: ${missing[*]}"
  apt-get update -qq >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2
fi

work="$cache_root/src"
apt_dir="$work/apt"
mkdir -p "$apt_dir/state/lists/partial" "$apt_dir/cache/archives/partial"

# The trixie source line reuses the mirror this machine's own apt configuration names.
mirror=$( (cat /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null || true) \
  | grep -E '^(URIs:|deb )' | grep -v -- '-security' | head -n 1 | sed -E 's/^URIs:[[:space:]]*//; s/^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?//; s/[[:space:]].*$//')
[ -n "$mirror" ] || { log "no Debian mirror found in the apt configuration"; exit 1; }
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
echo "deb-src [signed-by=$keyring] $mirror trixie main" > "$apt_dir/sources.list"

apt_opts=(-o "Dir::Etc::sourcelist=$apt_dir/sources.list" -o "Dir::Etc::sourceparts=-"
          -o "Dir::State=$apt_dir/state" -o "Dir::Cache=$apt_dir/cache"
          -o "APT::Get::List-Cleanup=0" -o "Debug::NoLocking=1" -o "APT::Sandbox::User=root")

cd "$work"
if ! ls python3.13_*.orig.tar.* >/dev/null 2>&1; then
  log "fetching the python3.13 source package (trixie)"
  apt-get -qq "${apt_opts[@]}" update >&2
  apt-get -qq "${apt_opts[@]}" source --download-only python3.13 >&2
fi
orig=$(ls python3.13_*.orig.tar.* | head -n 1)
version=$(echo "$orig" | sed -E 's/^python3\.13_([0-9]+\.[0-9]+\.[0-9]+).*$/\1/')
prefix="$cache_root/cpython-${version}t"

rm -rf "$work/build"
mkdir -p "$work/build"
tar -xf "$orig" -C "$work/build" --strip-components=1
cd "$work/build"
log "building CPython $version with --disable-gil into $prefix (a few minutes)"
./configure --quiet --disable-gil --prefix="$prefix" --with-ensurepip=install >&2
make -j"$(nproc)" -s >"$work/make.log" 2>&1 || { tail -n 40 "$work/make.log" >&2; exit 1; }
make -s install >>"$work/make.log" 2>&1 || { tail -n 40 "$work/make.log" >&2; exit 1; }
cd "$cache_root"
rm -rf "$work/build"

is_free_threaded "$prefix/bin/python3.13t" || { log "the build did not produce a free-threaded interpreter"; exit 1; }
echo "$prefix/bin/python3.13t"
