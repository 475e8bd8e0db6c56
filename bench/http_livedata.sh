#!/usr/bin/env bash
# GET /api/livedata of an instance managing 10 simulated hosts of 100 VMs each, 64 keep-alive
# connections with one session cookie, side by side with nginx serving the same reply bytes
# as a static file; then the instance's resident memory.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
hbr="${HBR_EXE:-$here/build/hbr}"
duration="${BENCH_SECONDS:-10}"
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; [ -f "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null; sleep 0.3; rm -rf "$work"' EXIT

mkdir -p "$work/root" "$work/state" "$work/nginx"
source "$here/bench/common.sh"
p_hbr=$(free_port); p_ngx=$(free_port)

HBR_STATE_DIR="$work/state" "$hbr" run-exe -url "$scheme://127.0.0.1:$p_hbr/" -dbpath "$work/hbr.db" \
  -webroot "$work/root" "${hbr_tls[@]}" < /dev/null > "$work/hbr.log" 2>&1 &
hbr_pid=$!
for _ in $(seq 50); do curl "${curl_tls[@]}" -s "$scheme://127.0.0.1:$p_hbr/login.html" -o /dev/null && break; sleep 0.1; done
cookie=$(admin_cookie "$scheme://127.0.0.1:$p_hbr" "$work/hbr.log")

for h in $(seq 10); do
  curl "${curl_tls[@]}" -sf -H "Cookie: $cookie" -d "{\"id\":0,\"name\":\"sim$h\",\"host\":\"sim://bench$h?vms=100&seed=$h\",\"user\":\"\",\"password\":\"\",\"disabled\":false}" \
    "$scheme://127.0.0.1:$p_hbr/api/server/0" -o /dev/null
done
for _ in $(seq 100); do
  n=$(curl "${curl_tls[@]}" -s -H "Cookie: $cookie" "$scheme://127.0.0.1:$p_hbr/api/livedata" |
      python3 -c 'import json,sys; print(len(json.load(sys.stdin)["vms"]))' 2>/dev/null || echo 0)
  [ "$n" = 1000 ] && break; sleep 0.2
done
[ "$n" = 1000 ] || { echo "only $n VMs listed"; exit 1; }
curl "${curl_tls[@]}" -s -H "Cookie: $cookie" "$scheme://127.0.0.1:$p_hbr/api/livedata" -o "$work/root/livedata.json"

start_nginx "$p_ngx" "$work/root" application/json
for _ in $(seq 50); do curl "${curl_tls[@]}" -sf "$scheme://127.0.0.1:$p_ngx/livedata.json" -o /dev/null && break; sleep 0.1; done

run() { wrk_run "$@"; }  # prints "rps p99"
rounds="${BENCH_ROUNDS:-3}"
echo "wrk -t2 -c64 -d${duration}s --latency, $scheme, /api/livedata of 10 x 100 VMs ($(stat -c %s "$work/root/livedata.json") bytes), $rounds rounds"
ratios=()
for r in $(seq "$rounds"); do
  read -r hbr_rps hbr_p99 < <(run -H "Cookie: $cookie" "$scheme://127.0.0.1:$p_hbr/api/livedata")
  read -r ngx_rps ngx_p99 < <(run "$scheme://127.0.0.1:$p_ngx/livedata.json")
  ratio=$(awk -v a="$hbr_rps" -v b="$ngx_rps" 'BEGIN { printf "%.2f", a / b }')
  ratios+=("$ratio")
  printf 'round %d: hbr %10s req/s p99 %-8s  nginx %10s req/s p99 %-8s  ratio %s\n' \
    "$r" "$hbr_rps" "$hbr_p99" "$ngx_rps" "$ngx_p99" "$ratio"
done
printf '%s\n' "${ratios[@]}" | sort -n | awk '{ a[NR] = $1 } END { printf "median ratio hbr/nginx: %s\n", a[int((NR + 1) / 2)] }'
echo "hbr resident memory with 10 x 100 VMs: $(awk '/VmRSS/ {print $2, $3}' /proc/$hbr_pid/status)"
