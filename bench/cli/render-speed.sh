#!/usr/bin/env bash
# Speed of qir-render: the real-time factor (render time / audio duration) for a
# 60-second order-7 (64-channel) file, with the Anechoic and the Room decoder,
# host block 512, using the generated decoder sets.
# Usage: bench/cli/render-speed.sh [BUILD_DIR] [DECODER_SET_DIR]
# (default: the sets qir-render finds itself, those the build generated)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$root/build/release}
resources=()
if [ -n "${2:-}" ]; then
  resources=(--resources "$2")
fi
render="$build/cli/qir-render"
if [ ! -x "$render" ]; then
  echo "render-speed: no qir-render in $build; build the target qir-render first" >&2
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Noise on every channel, so every one of the 64 x 2 convolutions does real work.
sox -n -r 48000 -c 64 -b 24 "$work/order7.wav" synth 60 whitenoise vol 0.1

# The summary's real-time factor is wall-clock time; the CPU figure beside it is
# steadier on a busy machine.
for mode in anechoic room; do
  TIMEFORMAT="%U %S"
  cpu=$( { time "$render" "${resources[@]}" --mode "$mode" --block 512 "$work/order7.wav" \
             "$work/$mode.wav" 2>"$work/messages.txt" || true; } 2>&1 )
  if ! grep '^qir-render: wrote' "$work/messages.txt" | sed "s|$work/||"; then
    cat "$work/messages.txt" >&2
    exit 1
  fi
  echo "$mode: $(echo "$cpu" | awk '{ printf "%.3f", ($1 + $2) / 60 }') CPU seconds per second of audio (loading included)"
done
