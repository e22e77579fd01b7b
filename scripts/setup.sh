#!/usr/bin/env bash
# Installs every Debian package the build and the tests need (when run as root and
# something is missing), then configures and builds the project.
#   scripts/setup.sh            the normal build in build/
#   scripts/setup.sh --asan     also the sanitizer build in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  # compilers and build
  g++ cmake ninja-build pkg-config python3 git file
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  # fuzzing and sanitizers
  clang libclang-rt-14-dev
  # Linux hosts: FUSE mount
  fuse3 libfuse3-dev
  # the mount's tests read extended attributes with getfattr
  attr
  # the tray program: Windows build, Wine, X server for its windows, screenshots
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 fonts-wine xvfb xauth xdotool x11-apps imagemagick dpkg-dev
  # reading the texts on the tray program's screenshots
  tesseract-ocr tesseract-ocr-eng
  # network layers of the tray program, tested natively
  libssl-dev openssl libidn11-dev
  # the APFS image writer: manifests, compressed files, independent readers that check its images
  nlohmann-json3-dev zlib1g-dev sleuthkit libfsapfs-utils apfsprogs
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

jobs=$(nproc)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
if [ "${1:-}" = "--asan" ]; then
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUADREL_SANITIZE=ON >/dev/null
  cmake --build build-asan -j "$jobs"
fi
