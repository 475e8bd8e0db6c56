#!/usr/bin/env bash
# TLS handshakes per second: every request on a new connection ("Connection: close"), 64 at a
# time, for a 100-byte file; hbr and nginx side by side on loopback with the same certificate
# (ECDSA P-256), so each request is a full handshake on both.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
hbr="${HBR_EXE:-$here/build/hbr}"
duration="${BENCH_SECONDS:-10}"
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; [ -f "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null; sleep 0.3; rm -rf "$work"' EXIT

mkdir -p "$work/root" "$work/state" "$work/nginx"
head -c 100 /dev/zero | tr '\0' 'x' > "$work/root/tiny.js"
BENCH_SCHEME=https
source "$here/bench/common.sh"
p_hbr=$(free_port); p_ngx=$(free_port)

HBR_STATE_DIR="$work/state" "$hbr" run-exe -url "https://127.0.0.1:$p_hbr/" -dbpath "$work/hbr.db" \
  -webroot "$work/root" "${hbr_tls[@]}" < /dev/null > "$work/hbr.log" 2>&1 &
start_nginx "$p_ngx" "$work/root" application/javascript
for p in $p_hbr $p_ngx; do
  for _ in $(seq 50); do curl -k -sf "https://127.0.0.1:$p/tiny.js" -o /dev/null && break; sleep 0.1; done
done

run() { wrk_run -H "Connection: close" "https://127.0.0.1:$1/tiny.js"; }  # prints "rps p99"
rounds="${BENCH_ROUNDS:-3}"
echo "wrk -t2 -c64 -d${duration}s --latency -H 'Connection: close' https://127.0.0.1:PORT/tiny.js: one full handshake per request, $rounds rounds"
ratios=()
for r in $(seq "$rounds"); do
  read -r hbr_rps hbr_p99 < <(run "$p_hbr")
  read -r ngx_rps ngx_p99 < <(run "$p_ngx")
  ratio=$(awk -v a="$hbr_rps" -v b="$ngx_rps" 'BEGIN { printf "%.2f", a / b }')
  ratios+=("$ratio")
  printf 'round %d: hbr %9s handshakes/s p99 %-8s  nginx %9s handshakes/s p99 %-8s  ratio %s\n' \
    "$r" "$hbr_rps" "$hbr_p99" "$ngx_rps" "$ngx_p99" "$ratio"
done
printf '%s\n' "${ratios[@]}" | sort -n | awk '{ a[NR] = $1 } END { printf "median ratio hbr/nginx: %s\n", a[int((NR + 1) / 2)] }'
