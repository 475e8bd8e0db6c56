#!/usr/bin/env bash
# Installs what is needed, then runs three stages, each timed:
#   1. the `asan` preset (AddressSanitizer and UndefinedBehaviorSanitizer, warnings are errors)
#      and the whole test suite; HBR_TEST_PRESET picks another preset;
#   2. the `tsan` preset (only hbr and the two test programs) and the unit and integration
#      tests once more under ThreadSanitizer; HBR_TEST_TSAN=0 skips it;
#   3. every fuzz target for HBR_TEST_FUZZ_SECONDS (default 60) through scripts/fuzz.sh;
#      HBR_TEST_FUZZ=0 skips it.
# Any failure ends the run with a non-zero status.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"
bash scripts/install-deps.sh
preset="${HBR_TEST_PRESET:-asan}"
jobs="$(nproc)"
timings=()
stage() {  # NAME COMMAND...: runs the command and notes its wall time
    local name="$1" start=$SECONDS
    shift
    echo "== $name"
    "$@"
    timings+=("$(printf '%-34s %4d s' "$name" $((SECONDS - start)))")
}

build_and_test() {
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j"$jobs"
    ctest --preset "$preset" -j"$jobs" --timeout 600
}
stage "$preset build and tests" build_and_test

tsan() {
    cmake --preset tsan >/dev/null
    cmake --build --preset tsan -j"$jobs" --target hbr hbr_unit_tests hbr_integration_tests
    # The browser suites drive real browsers for minutes; they ran above and add nothing here,
    # and the codec samples are made only for one of them.
    ctest --preset tsan -j"$jobs" --timeout 900 -E '^(browser_|codec_samples_)'
}
if [ "${HBR_TEST_TSAN:-1}" != 0 ] && [ "$preset" != tsan ]; then
    stage "tsan build and tests" tsan
fi

if [ "${HBR_TEST_FUZZ:-1}" != 0 ]; then
    stage "fuzzing" bash scripts/fuzz.sh "${HBR_TEST_FUZZ_SECONDS:-60}"
fi

echo "== wall time per stage"
printf '%s\n' "${timings[@]}"
