#!/usr/bin/env bash
# Smoke test of the installed LV2 bundle in a running host: a JACK server with
# its dummy back end, the plug-in in jalv, a click track on W and a MIDI note
# sequence on the MIDI input, the decoded output recorded with jack_rec.
# Checks what a user of a real host sees: every port is there, the host is told
# a latency of 128 frames, decoder switches from the host's console load their
# sets on the host's worker, and the output carries the decoded clicks and the
# test source, finite and not clipped.
# Usage: jalv-smoke.sh PREFIX WORKDIR (PREFIX holds lib/lv2/qir-matrix-decoder.lv2)
set -euo pipefail

prefix=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
# One of a few fixed names, the first with no server running: the JACK
# registry reclaims a slot only for a server of the same name, so a server that
# died without unregistering (a run killed by a time-out) is cleared by the next
# run, where a fresh name per run would fill the registry's eight slots for good.
server=
for slot in 0 1 2 3; do
  if ! JACK_NO_START_SERVER=1 JACK_DEFAULT_SERVER="qir-smoke-$slot" jack_lsp >/dev/null 2>&1; then
    server="qir-smoke-$slot"
    break
  fi
done
if [ -z "$server" ]; then
  echo "jalv-smoke: JACK servers qir-smoke-0 to qir-smoke-3 are all running" >&2
  exit 1
fi
export JACK_DEFAULT_SERVER="$server"
# Clients wait for our server; none may start one of its own.
export JACK_NO_START_SERVER=1
export LV2_PATH="$prefix/lib/lv2"
unset QIR_RESOURCE_DIR

pids=()
cleanup() {
  exec 7>&- 2>/dev/null || true
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
}
trap cleanup EXIT

fail() {
  echo "jalv-smoke: $*" >&2
  for log in "$work"/*.log; do
    echo "--- $log" >&2
    tail -n 30 "$log" >&2 || true
  done
  exit 1
}

# wait_for SECONDS COMMAND...: retries the command every 0.1 s.
wait_for() {
  local tries=$(($1 * 10))
  shift
  for ((i = 0; i < tries; i++)); do
    if "$@" >/dev/null 2>&1; then
      return 0
    fi
    sleep 0.1
  done
  return 1
}

jackd --no-realtime -n "$server" -d dummy -r 48000 -p 256 >"$work/jackd.log" 2>&1 &
pids+=($!)
wait_for 20 jack_lsp || fail "the JACK server did not start"

mkfifo "$work/console"
jalv -n qir urn:qir:matrix-decoder <"$work/console" >"$work/jalv.log" 2>&1 &
pids+=($!)
exec 7>"$work/console"
ports_ready() { [ "$(jack_lsp | grep -c '^qir:')" -eq 67 ]; }
wait_for 30 ports_ready || fail "jalv did not show the plug-in's 67 ports"
for port in in_0 in_63 out_l out_r midi_in; do
  jack_lsp | grep -qx "qir:$port" || fail "port $port missing"
done
jack_lsp -l qir:out_l | grep -q "playback latency = \[ 128 128 \]" ||
  fail "the host was not told a latency of 128 frames: $(jack_lsp -l qir:out_l | tr '\n' ' ')"
loaded() { grep -q "loaded .*/$1" "$work/jalv.log"; }
wait_for 30 loaded 1OA-decoder-anechoic.wav || fail "the first decoder set was not loaded"

# Switches from the host's console: the worker loads each set.
echo "decoder_mode = 1" >&7
echo "decode_order = 2" >&7
wait_for 60 loaded 3OA-decoder-room.wav || fail "switching to Room, order 3 loaded no set"

# Clicks on W, a looping note sequence on the MIDI input (note 2: the source on
# the left), and four seconds of the output.
jack_metro -n metro -b 240 -f 1000 -D 10 >"$work/metro.log" 2>&1 &
pids+=($!)
jack_midiseq seq 48000 0 2 24000 >"$work/midiseq.log" 2>&1 &
pids+=($!)
wait_for 20 jack_lsp metro:240_bpm || fail "jack_metro did not start"
wait_for 20 jack_lsp seq:out || fail "jack_midiseq did not start"
jack_connect metro:240_bpm qir:in_0
jack_connect seq:out qir:midi_in
jack_rec -f "$work/out.wav" -d 4 -b 32 qir:out_l qir:out_r >"$work/rec.log" 2>&1 ||
  fail "jack_rec failed"

stats=$(sox "$work/out.wav" -n stat 2>&1) || fail "sox could not read the recording: $stats"
rms=$(awk '/RMS +amplitude/ {print $3}' <<<"$stats")
peak=$(awk '/Maximum amplitude/ {print $3}' <<<"$stats")
trough=$(awk '/Minimum amplitude/ {print $3}' <<<"$stats")
awk -v r="$rms" 'BEGIN { exit !(r > 1e-4) }' || fail "the output is silent (RMS $rms)"
awk -v p="$peak" -v t="$trough" 'BEGIN { exit !(p < 1.0 && t > -1.0) }' ||
  fail "the output reaches full scale (max $peak, min $trough)"
grep -qi "nan\|inf" <<<"$stats" && fail "the output is not finite: $stats"
echo "jalv-smoke: 67 ports, latency 128, sets switched on the worker, output RMS $rms, peak $peak"
