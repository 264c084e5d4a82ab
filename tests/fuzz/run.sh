#!/usr/bin/env bash
# Runs every fuzz target for a bounded time, starting from its seed corpus (which includes
# the inputs of every fault found so far). Fails on any crash, leak, timeout, out-of-memory
# or sanitizer report; the input that caused it is left in build/fuzz/artifacts/TARGET/.
#
#   tests/fuzz/run.sh [TARGET...]                 30 s per target
#   FUZZ_SECONDS=3600 tests/fuzz/run.sh extract   a longer campaign
#
# Needs the fuzz preset built: cmake --preset fuzz && cmake --build --preset fuzz -j2
# New inputs found along the way go to build/fuzz/found/TARGET (kept between runs, so a
# longer campaign goes on where the last one stopped); copy the interesting ones into
# tests/fuzz/corpus/TARGET by hand.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${FUZZ_BUILD:-$root/build/fuzz}
seconds=${FUZZ_SECONDS:-30}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(list extract read_table decode_block round_trip extension index recovery sealed)

max_len() {
    case $1 in
        list | extract | recovery | sealed) echo 32768 ;;
        read_table) echo 1024 ;;
        decode_block) echo 8192 ;;
        round_trip) echo 16384 ;;
        extension) echo 4096 ;;
        index) echo 256 ;;
    esac
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:allocator_may_return_null=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=0
for target in "${targets[@]}"; do
    binary=$build/tests/fuzz/fuzz_$target
    if [ ! -x "$binary" ]; then
        echo "fuzz $target: $binary is missing (build the fuzz preset)"
        failed=1
        continue
    fi
    found=$build/found/$target
    artifacts=$build/artifacts/$target
    log=$build/fuzz-$target.log
    mkdir -p "$found" "$artifacts"
    rm -f "$artifacts"/*
    "$binary" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 -malloc_limit_mb=2048 \
        -max_len="$(max_len "$target")" -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "$found" "$root/tests/fuzz/corpus/$target" >"$log" 2>&1
    status=$?
    # A unit that only ran out of time may have stalled on a loaded machine: run it once more
    # alone, and call it a failure only if it is slow again.
    if [ "$status" -ne 0 ] && [ -n "$(ls -A "$artifacts")" ] && [ -z "$(ls "$artifacts" | grep -v '^timeout-')" ] &&
        ! grep -qE 'ERROR: (Address|Leak|UndefinedBehavior)Sanitizer|runtime error:' "$log"; then
        slow_again=0
        for unit in "$artifacts"/timeout-*; do
            "$binary" -timeout=20 -rss_limit_mb=2560 -malloc_limit_mb=2048 "$unit" >>"$log.rerun" 2>&1 || slow_again=1
        done
        if [ "$slow_again" -eq 0 ]; then
            echo "fuzz $target: a unit that timed out ran in time when run again (kept in $build/slow/$target)"
            mkdir -p "$build/slow/$target" && mv "$artifacts"/timeout-* "$build/slow/$target/"
            status=0
        fi
    fi
    runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+).*/\1/p' "$log" | tail -1)
    rate=$(sed -nE 's/^stat::average_exec_per_sec: *([0-9]+).*/\1/p' "$log" | tail -1)
    cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -1)
    if [ "$status" -ne 0 ] || [ -n "$(ls -A "$artifacts")" ] || grep -qE 'ERROR: (Address|Leak|UndefinedBehavior)Sanitizer|runtime error:' "$log"; then
        echo "fuzz $target: FAILED (status $status) after ${runs:-?} runs; see $log"
        grep -E 'ERROR|runtime error|SUMMARY|Test unit written|==[0-9]+==' "$log" | head -20
        failed=1
    else
        echo "fuzz $target: ok, ${runs:-?} runs in ${seconds} s (${rate:-?}/s), ${cov:-cov: ?}"
    fi
done
exit $failed
