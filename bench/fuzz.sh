#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each one for as long as asked; prints executions and
# findings per target. Exits non-zero when a target found something.
#   bench/fuzz.sh [seconds-per-target] [executions-per-target]
# seconds 0 means no time limit (then give executions); by default 60 seconds, executions unlimited.
# The growing corpus is kept in $BUILD_DIR/fuzz-corpus (seeded from fuzz/corpus), findings go to
# $BUILD_DIR/fuzz-findings. BUILD_DIR defaults to build-fuzz; FUZZ_TARGETS picks targets.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
executions="${2:--1}"
build="${BUILD_DIR:-build-fuzz}"
read -r -a targets <<<"${FUZZ_TARGETS:-fuzz_statuspacketframer fuzz_multianswerframer fuzz_servobus}"
# A simulator input needs no more than a few dozen packets; longer ones only run slower.
declare -A target_flags=([fuzz_servobus]="-max_len=512")
# A small quarantine keeps memory warm: several times the executions per second.
export ASAN_OPTIONS="${ASAN_OPTIONS:-quarantine_size_mb=16}"

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
CC=clang CXX=clang++ cmake -S . -B "$build" -DVSM_FUZZ=ON -DVSM_BUILD_TESTS=OFF -DVSM_BUILD_BENCH=OFF \
    "${launcher[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}" >/dev/null

failed=0
summary=()
for target in "${targets[@]}"; do
    corpus="$build/fuzz-corpus/$target"
    findings="$build/fuzz-findings/$target"
    mkdir -p "$corpus" "$findings"
    # Slow inputs are kept too, but only crashes, leaks, time-outs and memory blow-ups are findings.
    count() { find "$findings" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l; }
    before=$(count)
    log="$build/fuzz-findings/$target.log"
    status=0
    read -r -a flags <<<"${target_flags[$target]:-}"
    "$build/fuzz/$target" -max_total_time="$seconds" -runs="$executions" -print_final_stats=1 "${flags[@]}" \
        -artifact_prefix="$findings/" "$corpus" "fuzz/corpus/$target" >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    found=$(($(count) - before))
    if ((status != 0 && found == 0)); then
        found=1 # stopped for a reason that left no input behind; the log tells
    fi
    ((found == 0)) || failed=1
    summary+=("$(printf '%-26s %12s executions %8s/s %3d findings' "$target" "${runs:-?}" "${rate:-?}" "$found")")
    ((found == 0)) || summary+=("    see $log and $findings/")
done
printf '%s\n' "${summary[@]}"
exit "$failed"
