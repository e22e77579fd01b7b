#!/usr/bin/env bash
# Draws the program's icons with ImageMagick; the .ico files are kept in the repository,
# so this runs only when a picture changes. Each is a disk with a light platter:
#   app.ico      icon 100, the program (About box): blue
#   running.ico  icon 101, the service runs: green
#   stopped.ico  icon 102, the service is stopped: grey
set -euo pipefail
cd "$(dirname "$0")"
build() {  # build ICO FILL: one picture each at 48, 32 and 16 pixels
  local ico=$1 fill=$2 parts=()
  for size in 48 32 16; do
    local c=$((size / 2)) r=$((size * 7 / 16)) p=$((size / 5))
    convert -size "${size}x${size}" xc:none \
      -fill "$fill" -stroke '#202020' -strokewidth 1 -draw "circle $c,$c $c,$((c - r))" \
      -fill '#f0f0f0' -stroke none -draw "circle $c,$c $c,$((c - p))" \
      "png32:/tmp/qdrl-icon-$size.png"
    parts+=("/tmp/qdrl-icon-$size.png")
  done
  convert "${parts[@]}" "$ico"
  rm -f "${parts[@]}"
}
build app.ico '#2a64c8'
build running.ico '#2e9e44'
build stopped.ico '#8c8c8c'
