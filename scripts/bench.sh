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
echo "== Logins and account reads"; bash bench/http_login.sh
echo "== HTTP static file"; bash bench/http_static.sh
echo "== HTTPS static file"; BENCH_SCHEME=https bash bench/http_static.sh
echo "== TLS handshakes"; bash bench/tls_handshakes.sh
echo "== Simulated host's own answers"; build/bench/sim_host_bench
echo "== Poll cycle and memory of simulated hosts"; build/bench/hv_poll_bench
echo "== Poll cycle in process and over WS-Management"; build/bench/wsman_poll_bench
echo "== One instance, 50 WS-Management hosts"; bash bench/wsman_hosts.sh
echo "== Live data of 10 x 100 VMs"; bash bench/http_livedata.sh
echo "== Live data of 10 x 100 VMs over HTTPS"; BENCH_SCHEME=https bash bench/http_livedata.sh
echo "== Dashboard in Chromium at 1,000 to 25,000 VMs"; bash bench/dashboard_scale.sh
echo "== Remote console relay"
if [ -x build/bench/console_relay_bench ]; then
  build/bench/console_relay_bench 10
else
  echo "console_relay_bench was not built (it needs X11 and the test fixtures)"
fi
