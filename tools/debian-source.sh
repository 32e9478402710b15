#!/usr/bin/env bash
# Fetches a Debian source package into the per-user cache and prints its upstream tarball.
#
#   tools/debian-source.sh python3.13 python3.13/trixie
#   tools/debian-source.sh libusb-1.0 libusb-1.0=2:1.0.30-1 libusb-1.0/bookworm
#
# NAME is the source package; each SPEC after it is tried in turn (apt-get source's form) until
# one downloads, since a suite's index may list what its pool does not serve. A private apt
# configuration is used, so the system's own apt sources are never touched; fetches take turns.
set -euo pipefail

work="${VOREL_CACHE:-$HOME/.cache/vorel}/src"
apt_dir="$work/apt"
name=${1:?usage: tools/debian-source.sh NAME SPEC...}
shift

log() { echo "debian-source: $*" >&2; }

have() { ls "$work/${name}"_*.orig.tar.* 2>/dev/null | grep -v '\.asc$' | sort -V | tail -n 1; }

mkdir -p "$work"
exec 9>"$work/.fetch.lock"
flock 9
if [ -z "$(have)" ]; then
  apt_opts=(-o "Dir::Etc::sourcelist=$apt_dir/sources.list" -o "Dir::Etc::sourceparts=-"
            -o "Dir::State=$apt_dir/state" -o "Dir::Cache=$apt_dir/cache"
            -o "APT::Get::List-Cleanup=0" -o "Debug::NoLocking=1" -o "APT::Sandbox::User=root")
  keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  mkdir -p "$apt_dir/state/lists/partial" "$apt_dir/cache/archives/partial"
  # The source lines reuse the mirror this machine's own apt configuration names.
  mirror=$( (cat /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null || true) \
    | grep -E '^(URIs:|deb )' | grep -v -- '-security' | head -n 1 \
    | sed -E 's/^URIs:[[:space:]]*//; s/^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?//; s/[[:space:]].*$//')
  [ -n "$mirror" ] || { log "no Debian mirror found in the apt configuration"; exit 1; }
  lines=$(for suite in bookworm trixie sid; do
    printf 'deb-src [signed-by=%s] %s %s main\n' "$keyring" "$mirror" "$suite"
  done)
  # The indices are read again when the suites change or a day has passed.
  if [ "$lines" != "$(cat "$apt_dir/sources.list.read" 2>/dev/null)" ] \
     || [ -z "$(find "$apt_dir/sources.list.read" -mmin -1440 2>/dev/null)" ]; then
    echo "$lines" > "$apt_dir/sources.list"
    log "reading Debian's source indices"
    apt-get -qq "${apt_opts[@]}" update >&2
    cp "$apt_dir/sources.list" "$apt_dir/sources.list.read"
  fi
  cd "$work"
  for spec in "$@"; do
    if apt-get -qq "${apt_opts[@]}" source --download-only "$spec" >&2 2>"$work/.fetch.err"; then
      log "fetched $spec"
      break
    fi
    log "$spec could not be fetched: $(grep -m1 -E '^(E|W):' "$work/.fetch.err" || tail -n 1 "$work/.fetch.err")"
  done
fi
tarball=$(have)
[ -n "$tarball" ] || { log "no source of $name could be fetched"; exit 1; }
echo "$tarball"
