#!/usr/bin/env bash
# Generates the decoder sets (the fifteen, and the UHJ set made for seven other
# rates), when one is missing or outdated, into the build's
# share/qir-matrix-decoder/decoder-sets, where the built programs, the tests and
# the benchmarks find them (a full build does the same).
# Usage: generate-decoder-sets.sh BUILD_DIR
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/release}
if [ ! -f "$build/CMakeCache.txt" ]; then
  echo "generate-decoder-sets: $build is not configured yet; skipped"
  exit 0
fi
cmake --build "$build" --target decoder-sets
