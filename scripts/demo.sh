#!/usr/bin/env bash
# Sets up and builds, then shows what Quadrel reads from the bundled sample image: the
# container, a recursive listing, a file's bytes, and (where FUSE works) a mount.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

quadrel=build/host/quadrel
image=build/samples/sample.img

show() {
  echo
  echo "\$ $*"
  "$@"
}

show "$quadrel" info "$image"
show "$quadrel" ls -lRa "$image"
show "$quadrel" cat "$image" /Documents/notes.md
show "$quadrel" xattr "$image" /Documents/notes.md

if [ ! -e /dev/fuse ] || ! command -v fusermount3 >/dev/null; then
  echo
  echo "demo: FUSE is not available here (no /dev/fuse or no fusermount3): skipping the mount"
  exit 0
fi
mountpoint=$(mktemp -d)
trap 'fusermount3 -u "$mountpoint" 2>/dev/null || true; rmdir "$mountpoint"' EXIT
echo
echo "\$ $quadrel mount $image $mountpoint"
if ! "$quadrel" mount "$image" "$mountpoint"; then
  echo "demo: FUSE could not mount here: skipping the mount"
  exit 0
fi
show ls -l "$mountpoint"
show find "$mountpoint"
show fusermount3 -u "$mountpoint"
