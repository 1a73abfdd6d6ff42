#!/usr/bin/env bash
# Speed of qir-render: the real-time factor (render time / audio duration) for a
# 60-second order-7 (64-channel) file, with the Anechoic and the Room decoder,
# host block 512, using the generated decoder sets, on both paths: the host path
# (--host-path, the plug-in as an audio-unit host runs it) and the default
# throughput path. The two run in turn, ROUNDS rounds (the order reversed every
# other round); each figure is the median over the rounds and the speed-up the
# median of the rounds' ratios, which cancels most of a shared machine's drift.
# Usage: bench/cli/render-speed.sh [BUILD_DIR] [DECODER_SET_DIR] [ROUNDS]
# (default: the sets qir-render finds itself, those the build generated; 3 rounds)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$root/build/release}
resources=()
if [ -n "${2:-}" ]; then
  resources=(--resources "$2")
fi
rounds=${3:-3}
render="$build/cli/qir-render"
if [ ! -x "$render" ]; then
  echo "render-speed: no qir-render in $build; build the target qir-render first" >&2
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Noise on every channel, so every one of the 64 x 2 convolutions does real work.
sox -n -r 48000 -c 64 -b 24 "$work/order7.wav" synth 60 whitenoise vol 0.1

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# One render: prints "<wall real-time factor> <CPU seconds per second of audio>".
# The real-time factor is the summary's (render only, wall clock); the CPU
# figure (user + system of the whole process, every thread, loading included)
# is steadier on a busy machine.
run() {
  local mode=$1 path=$2
  local args=(--mode "$mode" --block 512)
  if [ "$path" = host ]; then
    args+=(--host-path)
  fi
  TIMEFORMAT="%U %S"
  local cpu
  cpu=$( { time "$render" "${resources[@]}" "${args[@]}" "$work/order7.wav" "$work/$mode-$path.wav" \
             2>"$work/messages.txt" || true; } 2>&1 )
  local summary
  if ! summary=$(grep '^qir-render: wrote' "$work/messages.txt"); then
    cat "$work/messages.txt" >&2
    exit 1
  fi
  local factor
  factor=$(echo "$summary" | sed -n 's/.*real-time factor \([0-9.]*\).*/\1/p')
  echo "$factor $(echo "$cpu" | awk '{ printf "%.4f", ($1 + $2) / 60 }')"
}

for mode in anechoic room; do
  : >"$work/host.txt"
  : >"$work/throughput.txt"
  : >"$work/ratio.txt"
  for ((r = 0; r < rounds; ++r)); do
    if ((r % 2 == 0)); then
      host=$(run "$mode" host)
      throughput=$(run "$mode" throughput)
    else
      throughput=$(run "$mode" throughput)
      host=$(run "$mode" host)
    fi
    echo "$host" >>"$work/host.txt"
    echo "$throughput" >>"$work/throughput.txt"
    echo "$host $throughput" | awk '{ printf "%.3f\n", $1 / $3 }' >>"$work/ratio.txt"
  done
  hostFactor=$(cut -d' ' -f1 "$work/host.txt" | median)
  hostCpu=$(cut -d' ' -f2 "$work/host.txt" | median)
  throughputFactor=$(cut -d' ' -f1 "$work/throughput.txt" | median)
  throughputCpu=$(cut -d' ' -f2 "$work/throughput.txt" | median)
  ratio=$(median <"$work/ratio.txt")
  echo "$mode: host path real-time factor $hostFactor ($hostCpu CPU s/s), throughput path $throughputFactor" \
       "($throughputCpu CPU s/s); host / throughput $ratio (rounds: $(paste -sd' ' "$work/ratio.txt"))"
done
