#!/usr/bin/env bash
# Sets up this machine (packages), builds everything, generates the decoder sets
# and runs every test:
#   1. release build: all tests;
#   2. AddressSanitizer + UndefinedBehaviorSanitizer build: all tests;
#   3. ThreadSanitizer build: the concurrency tests;
#   4. libFuzzer targets (clang): each run for QIR_FUZZ_SECONDS (default 60).
# QIR_TEST_STAGES limits the stages, e.g. QIR_TEST_STAGES="release tsan".
# Idempotent: builds are incremental and existing decoder sets are kept.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

stages=${QIR_TEST_STAGES:-"release asan tsan fuzz"}
jobs=$(nproc)
fuzz_seconds=${QIR_FUZZ_SECONDS:-60}

want() { [[ " $stages " == *" $1 "* ]]; }

passed=0
failed=0
# run_ctest LOG ARGS...: runs ctest, keeps its output and adds its counts to the totals.
run_ctest() {
  local log=$1
  shift
  local status=0
  "$@" 2>&1 | tee "$log" || status=$?
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
  if [ -n "$line" ]; then
    local f t
    f=$(sed -E 's/.*passed, ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    t=$(sed -E 's/.*passed, ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
    passed=$((passed + t - f))
    failed=$((failed + f))
  fi
  if [ "$status" -ne 0 ]; then
    echo "test run failed: $*"
    echo "tests: $passed passed, $((failed > 0 ? failed : 1)) failed"
    exit 1
  fi
}
banner() { printf '\n==== %s ====\n' "$*"; }

# Sanitizer runtimes want a predictable address-space layout.
no_aslr=()
if setarch "$(uname -m)" -R true 2>/dev/null; then
  no_aslr=(setarch "$(uname -m)" -R)
fi

scripts/install-deps.sh

banner "release build"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j"$jobs"
scripts/generate-decoder-sets.sh build/release

if want release; then
  banner "release tests"
  run_ctest build/release/ctest.log \
    ctest --test-dir build/release --output-on-failure -j"$jobs" --timeout 900
fi

if want asan; then
  banner "AddressSanitizer + UndefinedBehaviorSanitizer tests"
  cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
        -DQIR_SANITIZE=address >/dev/null
  cmake --build build/asan -j"$jobs" --target all_tests
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  run_ctest build/asan/ctest.log \
    "${no_aslr[@]}" ctest --test-dir build/asan --output-on-failure -j"$jobs" --timeout 1800
fi

if want tsan; then
  banner "ThreadSanitizer concurrency tests"
  cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQIR_SANITIZE=thread >/dev/null
  cmake --build build/tsan -j"$jobs" --target concurrency_tests
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
  run_ctest build/tsan/ctest.log \
    "${no_aslr[@]}" ctest --test-dir build/tsan -L concurrency --output-on-failure -j"$jobs" --timeout 1800
fi

if want fuzz; then
  banner "libFuzzer targets, ${fuzz_seconds} s each"
  CC=clang-14 CXX=clang++-14 cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQIR_FUZZ=ON >/dev/null
  cmake --build build/fuzz -j"$jobs" --target fuzzers
  if [ -s build/fuzz/fuzzers.txt ]; then
    while read -r name exe seeds; do
      [ -n "$name" ] || continue
      corpus="build/fuzz/corpus/$name"
      mkdir -p "$corpus"
      if [ -n "${seeds:-}" ] && [ -d "$seeds" ]; then
        cp -n "$seeds"/* "$corpus"/ 2>/dev/null || true
      fi
      echo "-- $name"
      "${no_aslr[@]}" "$exe" -max_total_time="$fuzz_seconds" -print_final_stats=1 \
        -artifact_prefix="build/fuzz/$name-" "$corpus" 2>&1 | tail -n 12
      status=${PIPESTATUS[0]}
      if [ "$status" -ne 0 ]; then
        echo "fuzzer $name found a problem (exit $status)"
        echo "tests: $passed passed, $((failed + 1)) failed"
        exit 1
      fi
      passed=$((passed + 1))
    done < build/fuzz/fuzzers.txt
  else
    echo "no fuzz targets"
  fi
fi

banner "all test stages passed: $stages"
echo "tests: $passed passed, $failed failed"
