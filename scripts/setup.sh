#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (when run as root and
# something is missing), then configures and builds the project.
#   scripts/setup.sh            every package, and the whole build in build/
#   scripts/setup.sh --asan     also the sanitizer build in build-asan/
#   scripts/setup.sh --demo     only what scripts/demo.sh shows: the packages that configure
#                               the project and build quadrel, the image writer and the
#                               sample image, and only those targets
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-}

demo_packages=(
  # compilers and build
  g++ cmake ninja-build pkg-config
  # quadrel and its FUSE mount; the image writer
  fuse3 libfuse3-dev nlohmann-json3-dev zlib1g-dev
  # configuring the project also finds what its tests and benchmarks link
  libgtest-dev libgmock-dev libbenchmark-dev libssl-dev libidn11-dev
)
packages=(
  "${demo_packages[@]}"
  python3 git
  # fuzzing and sanitizers
  clang libclang-rt-14-dev
  # the mount's tests read extended attributes with getfattr
  attr
  # the Debian package of the Linux tools (CPack runs dpkg-shlibdeps and file); the test of
  # its manual pages (groff)
  dpkg-dev file groff-base
  # the tray program: Windows build, Wine, X server for its windows, screenshots
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 fonts-wine xvfb xauth xdotool x11-apps imagemagick
  # reading the texts on the tray program's screenshots
  tesseract-ocr tesseract-ocr-eng
  # network layers of the tray program, tested natively
  openssl
  # independent readers that check the image writer's images
  sleuthkit libfsapfs-utils apfsprogs
)
[ "$mode" = --demo ] && packages=("${demo_packages[@]}")

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
if [ "$mode" = --demo ]; then
  cmake --build build -j "$jobs" --target quadrel sample_image
  exit 0
fi
cmake --build build -j "$jobs"
if [ "$mode" = --asan ]; then
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUADREL_SANITIZE=ON >/dev/null
  cmake --build build-asan -j "$jobs"
fi
