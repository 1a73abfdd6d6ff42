#!/usr/bin/env bash
# Sets up this machine, builds the project, generates the decoder sets and runs
# the main job on a built-in demo.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

scripts/install-deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j"$(nproc)"
scripts/generate-decoder-sets.sh build/release

bench=build/release/bench/convolution/convolution_bench
if [ -x "$bench" ]; then
  "$bench" --benchmark_filter="${QIR_DEMO_FILTER:-.}"
else
  echo "demo: the convolution benchmark is not built yet"
fi
