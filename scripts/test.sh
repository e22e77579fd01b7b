#!/usr/bin/env bash
# Sets up and builds everything, then runs the whole test suite: first the engine and
# host tests under AddressSanitizer and UndefinedBehaviorSanitizer, then the fuzz targets
# for a bounded time, then every test of the normal build (the Windows tray program's Wine
# tests included). The last line is CTest's summary of the normal build.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --asan || exit 1

jobs=$(nproc)
status=0
echo "== sanitizer build: engine, host and writer tests"
ctest --test-dir build-asan -j "$jobs" --output-on-failure --timeout 600 || status=1
echo "== fuzzing build: replay the corpus and fuzz each target for a bounded time"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUADREL_FUZZ=ON >/dev/null && cmake --build build-fuzz -j "$jobs" || status=1
ctest --test-dir build-fuzz -j "$jobs" --output-on-failure || status=1
echo "== normal build: all tests"
ctest --test-dir build -j "$jobs" --output-on-failure --timeout 900 || status=1
exit $status
