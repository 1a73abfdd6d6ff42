#!/usr/bin/env bash
# Generates the fifteen decoder sets into the folder the plug-in reads by default,
# when the generator has been built and a set is missing. Usage: generate-decoder-sets.sh BUILD_DIR
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/release}
generator="$build/tools/qir-make-decoder-sets"
if [ ! -x "$generator" ]; then
  echo "generate-decoder-sets: no generator in $build yet; skipped"
  exit 0
fi
"$generator" --output "$root/build/decoder-sets" --if-missing
