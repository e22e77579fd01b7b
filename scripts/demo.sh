#!/usr/bin/env bash
# Sets up and builds, then shows what Quadrel reads from the bundled sample image.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec build/host/quadrel info samples/sample.img
