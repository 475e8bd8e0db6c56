#!/usr/bin/env bash
# Installs what is needed, builds with AddressSanitizer and UndefinedBehaviorSanitizer
# (warnings are errors) and runs the whole test suite. HBR_TEST_PRESET picks another preset.
# HBR_TEST_TSAN=1 adds the unit and integration tests once more under ThreadSanitizer, and
# HBR_TEST_FUZZ=1 every fuzz target for 60 seconds (scripts/fuzz.sh); both stages are new and
# not yet part of the default run.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"
bash scripts/install-deps.sh
preset="${HBR_TEST_PRESET:-asan}"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"
ctest --preset "$preset" -j"$(nproc)" --timeout 600

if [ "${HBR_TEST_TSAN:-0}" = 1 ] && [ "$preset" != tsan ]; then
    cmake --preset tsan >/dev/null
    cmake --build --preset tsan -j"$(nproc)" --target hbr hbr_unit_tests hbr_integration_tests
    # The browser suites drive real browsers for minutes; they ran above and add nothing here.
    ctest --preset tsan -j"$(nproc)" --timeout 900 -E '^browser_'
fi

if [ "${HBR_TEST_FUZZ:-0}" = 1 ]; then
    bash scripts/fuzz.sh 60
fi
