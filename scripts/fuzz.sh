#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the conversion fuzzer with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# into build-fuzz/ and runs it for SECONDS (default 60) on one core; prints the number of executions.
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

cxx=$(command -v clang++-14 || command -v clang++)
cmake -S fuzz -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build build-fuzz -j 2

corpus=build-fuzz/corpus
mkdir -p "$corpus"
log=build-fuzz/fuzz.log
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
build-fuzz/fuzz_convert -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
    -artifact_prefix=build-fuzz/ "$corpus" >"$log" 2>&1 || status=$?
tail -n 25 "$log"
runs=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -Eo '[0-9]+$' || true)
echo "executions: ${runs:-unknown} in ${seconds} s (exit status $status)"
exit "$status"
