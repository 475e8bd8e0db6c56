#!/usr/bin/env bash
# Installs what is needed, builds with AddressSanitizer and UndefinedBehaviorSanitizer
# (warnings are errors) and runs the whole test suite.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"
bash scripts/install-deps.sh
preset="${HBR_TEST_PRESET:-asan}"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"
ctest --preset "$preset" -j"$(nproc)" --timeout 600
