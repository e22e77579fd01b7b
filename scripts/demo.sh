#!/usr/bin/env bash
# Installs what it needs and builds only what it shows (quadrel, the image writer and the
# sample image), then shows what Quadrel reads from the bundled sample image: the
# container, a recursive listing, a file's bytes, and (where FUSE works) a mount. Ends
# with what to try next. scripts/setup.sh builds everything.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --demo

quadrel=build/host/quadrel
image=build/samples/sample.img

show() {
  echo
  echo "\$ $*"
  "$@"
}

next_steps() {
  cat <<TEXT

Try next:
  $quadrel info --json $image              # the same in JSON (see README.md)
  $quadrel stat $image /Documents/notes.md
  $quadrel get $image /Documents documents      # extract a tree into ./documents
  mkdir -p mnt && $quadrel mount $image mnt && ls -l mnt; fusermount3 -u mnt
  $quadrel --help                                # every command and option
TEXT
}

show "$quadrel" --version
show "$quadrel" info "$image"
show "$quadrel" ls -lRa "$image"
show "$quadrel" cat "$image" /Documents/notes.md
show "$quadrel" xattr "$image" /Documents/notes.md

if [ ! -e /dev/fuse ] || ! command -v fusermount3 >/dev/null; then
  echo
  echo "demo: FUSE is not available here (no /dev/fuse or no fusermount3): skipping the mount"
  next_steps
  exit 0
fi
mountpoint=$(mktemp -d)
trap 'fusermount3 -u "$mountpoint" 2>/dev/null || true; rmdir "$mountpoint"' EXIT
echo
echo "\$ $quadrel mount $image $mountpoint"
if ! "$quadrel" mount "$image" "$mountpoint"; then
  echo "demo: FUSE could not mount here: skipping the mount"
  next_steps
  exit 0
fi
show ls -l "$mountpoint"
show find "$mountpoint"
show fusermount3 -u "$mountpoint"
next_steps
