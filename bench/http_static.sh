#!/usr/bin/env bash
# Requests per second and p99 latency for one 4 KB static file, 64 keep-alive connections,
# hbr and nginx side by side on loopback in the same run.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
hbr="${HBR_EXE:-$here/build/hbr}"
duration="${BENCH_SECONDS:-10}"
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; [ -f "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null; sleep 0.3; rm -rf "$work"' EXIT

mkdir -p "$work/root" "$work/state" "$work/nginx"
head -c 4096 /dev/urandom | base64 -w 0 | head -c 4096 > "$work/root/file.js"
source "$here/bench/common.sh"
p_hbr=$(free_port); p_ngx=$(free_port)

HBR_STATE_DIR="$work/state" "$hbr" run-exe -url "$scheme://127.0.0.1:$p_hbr/" -dbpath "$work/hbr.db" \
  -webroot "$work/root" "${hbr_tls[@]}" < /dev/null > "$work/hbr.log" 2>&1 &
start_nginx "$p_ngx" "$work/root" application/javascript
for p in $p_hbr $p_ngx; do
  for _ in $(seq 50); do curl "${curl_tls[@]}" -sf "$scheme://127.0.0.1:$p/file.js" -o /dev/null && break; sleep 0.1; done
done

run() { wrk_run "$scheme://127.0.0.1:$1/file.js"; }  # prints "rps p99"
# Alternating rounds: the machine is shared, so one round alone says little.
rounds="${BENCH_ROUNDS:-3}"
echo "wrk -t2 -c64 -d${duration}s --latency $scheme://127.0.0.1:PORT/file.js (4096-byte file), $rounds rounds"
ratios=()
for r in $(seq "$rounds"); do
  read -r hbr_rps hbr_p99 < <(run "$p_hbr")
  read -r ngx_rps ngx_p99 < <(run "$p_ngx")
  ratio=$(awk -v a="$hbr_rps" -v b="$ngx_rps" 'BEGIN { printf "%.2f", a / b }')
  ratios+=("$ratio")
  printf 'round %d: hbr %10s req/s p99 %-8s  nginx %10s req/s p99 %-8s  ratio %s\n' \
    "$r" "$hbr_rps" "$hbr_p99" "$ngx_rps" "$ngx_p99" "$ratio"
done
printf '%s\n' "${ratios[@]}" | sort -n | awk '{ a[NR] = $1 } END { printf "median ratio hbr/nginx: %s\n", a[int((NR + 1) / 2)] }'
