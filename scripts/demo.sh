#!/usr/bin/env bash
# Installs what it needs and builds only what it shows (quadrel, the image writer and the
# sample image), then shows what Quadrel reads from the bundled sample image: the
# container, a recursive listing, files' bytes (one stored compressed), extended
# attributes, and (where FUSE works) a mount. Ends with what to try next.
# scripts/setup.sh builds everything.
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
  # the container and a file's attributes as JSON (the schema is in README.md)
  $quadrel info --json $image
  $quadrel stat --json $image /Documents/notes.md
  # extract a tree, keeping modes, times, links and extended attributes
  $quadrel get $image /Documents documents
  # mount the volume read-only, look around, unmount it
  mkdir mnt && $quadrel mount $image mnt && ls -lR mnt
  fusermount3 -u mnt
  # every command, option and exit status; installing as a Debian package: README.md
  man build/packaging/man/quadrel.1
TEXT
}

show "$quadrel" --version
show "$quadrel" info "$image"
show "$quadrel" ls -lRa "$image"
show "$quadrel" cat "$image" /Documents/notes.md
show "$quadrel" xattr "$image" /Documents/notes.md
show "$quadrel" cat "$image" /compressed.txt

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
