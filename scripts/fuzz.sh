#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (AddressSanitizer, UndefinedBehavior-
# Sanitizer, leak checks) in build-fuzz/ and runs each for SECONDS (default 60), as many at once
# as HBR_FUZZ_JOBS says (default: two, or one on a single core). Prints per target its
# executions and findings; exits non-zero on any finding.
#
# Seeds come from tests/fuzz/corpus/<target>/ (and, for the CIM-XML and WS-Management readers,
# the public WS-Management samples, read where they are); what the fuzzer learns is kept in
# build-fuzz/corpus/<target>/, findings in build-fuzz/findings/.
# Reproduce one with: build-fuzz/tests/fuzz/<target> <file>
set -euo pipefail
seconds="${1:-60}"
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$here/build-fuzz"
seeds="$here/tests/fuzz/corpus"
samples="${HBR_WSMAN_SAMPLES:-$here/../shared/wsman-samples}"
[ -d "$samples" ] || samples="$here/../../shared/wsman-samples"
cores="$(nproc)"
jobs="${HBR_FUZZ_JOBS:-$((cores < 2 ? 1 : 2))}"

CC=clang CXX=clang++ cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DHBR_FUZZ=ON -DHBR_TESTS=OFF -DHBR_BENCH=OFF >/dev/null
targets=()
for f in "$here"/tests/fuzz/fuzz_*.cpp; do targets+=("$(basename "$f" .cpp)"); done
cmake --build "$build" -j"$cores" --target "${targets[@]}"

mkdir -p "$build/findings"

# Runs one target and leaves its line of figures in findings/<target>.result.
run() {
    local t="$1" corpus="$build/corpus/$1" log="$build/findings/$1.log" status=0
    local extra=()
    mkdir -p "$corpus"
    [ -d "$seeds/$t" ] && extra+=("$seeds/$t")
    case "$t" in fuzz_cimxml | fuzz_wsman) [ -d "$samples" ] && extra+=("$samples") ;; esac
    rm -f "$build/findings/$t"-*
    # -max_len covers a full header block and some body; -timeout flags any input that hangs.
    "$build/tests/fuzz/$t" -max_total_time="$seconds" -print_final_stats=1 -max_len=20000 \
        -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$build/findings/$t-" \
        "$corpus" "${extra[@]}" >"$log" 2>&1 || status=$?
    echo "$status" >"$build/findings/$t.status"
}

running=0
for t in "${targets[@]}"; do
    if [ "$running" -ge "$jobs" ]; then
        wait -n || true
        running=$((running - 1))
    fi
    run "$t" &
    running=$((running + 1))
done
wait

failed=0
printf '%-22s %12s %10s %9s\n' target executions exec/s findings
for t in "${targets[@]}"; do
    log="$build/findings/$t.log"
    status="$(cat "$build/findings/$t.status" 2>/dev/null || echo 1)"
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
    time="$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)"
    findings="$(find "$build/findings" -name "$t-*" | wc -l)"
    rate="-"
    [ -n "$runs" ] && [ -n "$time" ] && [ "$time" -gt 0 ] && rate=$((runs / time))
    printf '%-22s %12s %10s %9s\n' "$t" "${runs:-?}" "$rate" "$findings"
    if [ "$status" -ne 0 ] || [ "$findings" -ne 0 ]; then
        failed=1
        echo "  $t: exit status $status; see $log" >&2
        grep -m5 -E 'ERROR|SUMMARY|deadly signal' "$log" | sed 's/^/    /' >&2 || true
    fi
done
exit "$failed"
