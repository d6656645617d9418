#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the fuzzers (the conversions; the telnet decoder of network ports) with clang (libFuzzer,
# AddressSanitizer, UndefinedBehaviorSanitizer) into build-fuzz/ and runs each for SECONDS (default 60)
# on one core; prints the number of executions of each.
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

cxx=$(command -v clang++-14 || command -v clang++)
cmake -S fuzz -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build build-fuzz -j 2

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
# run TARGET SEEDS...: fuzzes TARGET for SECONDS from its own corpus and the seed folders given.
run() {
    local target=$1
    shift
    local corpus=build-fuzz/corpus-$target
    mkdir -p "$corpus"
    local log=build-fuzz/$target.log
    local s=0
    build-fuzz/$target -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
        -artifact_prefix=build-fuzz/$target- "$corpus" "$@" >"$log" 2>&1 || s=$?
    tail -n 25 "$log"
    local runs
    runs=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -Eo '[0-9]+$' || true)
    echo "$target executions: ${runs:-unknown} in ${seconds} s (exit status $s)"
    if ((s != 0)); then status=$s; fi
}
run fuzz_convert
run fuzz_rfc2217 tests/platform/rfc2217_corpus
exit "$status"
