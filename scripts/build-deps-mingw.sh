#!/usr/bin/env bash
# Cross-builds the tray program's two libraries, OpenSSL and GNU libidn, as static
# mingw-w64 libraries from Debian's own source packages.
#
#   scripts/build-deps-mingw.sh DEST
#
# Each library is built once into a cache folder keyed by its source version and this
# recipe's revision (QUADREL_DEPS_CACHE, default ~/.cache/quadrel/mingw-deps) and
# reused from there; DEST/openssl and DEST/libidn are then made links to the cached
# prefixes. Sources come through a private apt configuration in a scratch folder, so
# the machine's own apt set-up and package lists stay untouched.
set -euo pipefail

dest=${1:?usage: build-deps-mingw.sh DEST}
cache=${QUADREL_DEPS_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/quadrel/mingw-deps}
recipe=r2                     # raise when the configure options below change
openssl_pin=3.0.20-1~deb12u2  # the version whose source files are served
libidn_pin=1.41-1
host=x86_64-w64-mingw32
windows_ssl_dir=C:/Windows/Quadrel/ssl
jobs=$(nproc)

log() { echo "build-deps-mingw: $*" >&2; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

apt_private() {
  local cmd=$1; shift
  "$cmd" -q -o Dir::Etc::SourceList="$scratch/apt/sources.list" \
    -o Dir::Etc::SourceParts=/nonexistent -o Dir::State="$scratch/apt/state" \
    -o Dir::Cache="$scratch/apt/cache" -o Dir::State::status=/var/lib/dpkg/status \
    -o APT::Sandbox::User="$(id -un)" "$@"
}

# Runs a download step up to three times: the archive is reached over the network.
with_retries() {
  local attempt
  for attempt in 1 2 3; do
    "$@" && return 0
    log "attempt $attempt of: $* failed"
    sleep $((attempt * 5))
  done
  return 1
}

apt_ready=0
prepare_apt() {
  [ "$apt_ready" = 1 ] && return
  mkdir -p "$scratch/apt/state/lists/partial" "$scratch/apt/cache/archives/partial"
  local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  {
    echo "deb-src [signed-by=$keyring] http://deb.debian.org/debian bookworm main"
    echo "deb-src [signed-by=$keyring] http://deb.debian.org/debian bookworm-updates main"
    echo "deb-src [signed-by=$keyring] http://deb.debian.org/debian-security bookworm-security main"
  } >"$scratch/apt/sources.list"
  with_retries apt_private apt-get update >/dev/null
  apt_ready=1
}

# fetch_source PACKAGE PIN WORKDIR [apt-get source options]: downloads the source into
# WORKDIR and prints its version: the pin when it is served, otherwise (said loudly)
# the newest version the archive serves.
fetch_source() {
  local package=$1 pin=$2 work=$3; shift 3
  prepare_apt
  mkdir -p "$work"
  if (cd "$work" && with_retries apt_private apt-get source --download-only "$@" "$package=$pin") >&2; then
    echo "$pin"; return
  fi
  log "WARNING: the pinned source $package=$pin is not served; falling back to the newest served version"
  rm -rf "$work"; mkdir -p "$work"
  local newest
  newest=$(apt_private apt-cache showsrc "$package" | awk '/^Version:/ {print $2}' | sort -V | tail -1)
  [ -n "$newest" ] || { log "no source of $package is served"; exit 1; }
  (cd "$work" && with_retries apt_private apt-get source --download-only "$@" "$package=$newest") >&2 ||
    { log "the source $package=$newest could not be fetched either"; exit 1; }
  echo "$newest"
}

cache_dir() { echo "$cache/$1-${2//\~/_}-$recipe"; }

build_openssl() {
  local out=$1 work=$scratch/openssl version=$2
  (cd "$work" && dpkg-source --no-check -x ./*.dsc src)
  local epoch
  epoch=$(cd "$work/src" && dpkg-parsechangelog -STimestamp)
  # no-autoload-config: the program never reads an OpenSSL configuration file; no-dso:
  # nothing is ever loaded at run time. The folders compiled in are fixed Windows
  # folders only administrators write to: Configure would put its own prefix (a Linux
  # path, which Windows reads as a folder on the current drive) in front of them, so
  # they are given to make instead.
  local dirs=(OPENSSLDIR="$windows_ssl_dir" ENGINESDIR="$windows_ssl_dir/engines-3"
              MODULESDIR="$windows_ssl_dir/ossl-modules")
  (cd "$work/src" && SOURCE_DATE_EPOCH=$epoch ./Configure mingw64 no-shared no-tests \
      no-autoload-config no-dso --cross-compile-prefix=$host- --prefix="$out" --libdir=lib &&
    SOURCE_DATE_EPOCH=$epoch make -j"$jobs" "${dirs[@]}" build_libs &&
    SOURCE_DATE_EPOCH=$epoch make "${dirs[@]}" install_dev)
  echo "$version" >"$out/VERSION"
}

build_libidn() {
  local out=$1 work=$scratch/libidn version=$2
  mkdir -p "$work/src"
  tar -xf "$work"/libidn_*.orig.tar.* -C "$work/src" --strip-components=1
  local epoch
  epoch=$(stat -c %Y "$work/src/configure")
  (cd "$work/src" && SOURCE_DATE_EPOCH=$epoch ./configure --host=$host --prefix="$out" \
      --disable-shared --disable-nls --disable-doc --disable-gcc-warnings &&
    SOURCE_DATE_EPOCH=$epoch make -j"$jobs" -C lib/gl &&
    SOURCE_DATE_EPOCH=$epoch make -j"$jobs" -C lib install)
  echo "$version" >"$out/VERSION"
}

# ensure NAME PACKAGE PIN BUILDER [apt-get source options]: links DEST/NAME to a cached build.
ensure() {
  local name=$1 package=$2 pin=$3 builder=$4; shift 4
  local dir
  dir=$(cache_dir "$name" "$pin")
  if [ ! -f "$dir/VERSION" ]; then
    local start=$SECONDS version
    version=$(fetch_source "$package" "$pin" "$scratch/$name" "$@")
    dir=$(cache_dir "$name" "$version")
    if [ ! -f "$dir/VERSION" ]; then
      log "building $name $version into $dir (output in $dir.log)"
      rm -rf "$dir.partial"
      mkdir -p "$cache"
      if ! "$builder" "$dir.partial" "$version" >"$dir.log" 2>&1; then
        tail -n 40 "$dir.log" >&2
        log "building $name $version failed; the whole output is in $dir.log"
        exit 1
      fi
      # the prefix is baked into nothing we ship, so the finished folder can move
      mv "$dir.partial" "$dir"
      log "built $name $version in $((SECONDS - start)) s"
    fi
  fi
  mkdir -p "$dest"
  # A build tool may have made an empty folder here for the expected outputs.
  rm -rf "${dest:?}/$name"
  ln -s "$dir" "$dest/$name"
  log "$name: $(cat "$dir/VERSION") from $dir"
}

ensure openssl openssl "$openssl_pin" build_openssl
ensure libidn libidn "$libidn_pin" build_libidn --tar-only
