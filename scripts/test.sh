#!/usr/bin/env bash
# Sets up and builds everything, then runs the whole test suite: first the engine and
# host tests under AddressSanitizer and UndefinedBehaviorSanitizer, then every test of
# the normal build (the Windows tray program's Wine tests included). The last line is
# CTest's summary of the normal build.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --asan || exit 1

jobs=$(nproc)
status=0
echo "== sanitizer build: engine, host and writer tests"
ctest --test-dir build-asan -j "$jobs" --output-on-failure --timeout 600 || status=1
echo "== normal build: all tests"
ctest --test-dir build -j "$jobs" --output-on-failure --timeout 900 || status=1
exit $status
