#!/usr/bin/env bash
# Builds the optimised tree and runs every benchmark; they print figures and assert nothing.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)"
echo "== JSON parser"; build/bench/bench_json
echo "== Audit page"; build/bench/bench_audit
echo "== HTTP static file"; bash bench/http_static.sh
echo "== Poll cycle and memory of simulated hosts"; build/bench/hv_poll_bench
echo "== Live data of 10 x 100 VMs"; bash bench/http_livedata.sh
