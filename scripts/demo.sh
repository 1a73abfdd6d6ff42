#!/usr/bin/env bash
# Sets up this machine, builds the project, generates the decoder sets and runs
# the main job on a built-in demo: qir-render decodes a synthesised ambisonic
# scene to headphone stereo through the plug-in.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

scripts/install-deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j"$(nproc)"
scripts/generate-decoder-sets.sh build/release

mkdir -p build/demo
build/release/cli/qir-render --demo build/demo/qir-render-demo.wav
echo "demo: wrote $root/build/demo/qir-render-demo.wav"
