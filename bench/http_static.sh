#!/usr/bin/env bash
# Requests per second and p99 latency for one 4 KB static file, 64 keep-alive connections,
# hbr and nginx side by side on loopback in the same run.
set -euo pipefail
source "$(dirname "$0")/common.sh"

mkdir -p "$work/root"
head -c 4096 /dev/urandom | base64 -w 0 | head -c 4096 > "$work/root/file.js"
p_hbr=$(free_port); p_ngx=$(free_port)

start_static_hbr "$p_hbr" "$work/root"
start_nginx "$p_ngx" "$work/root" application/javascript
for p in $p_hbr $p_ngx; do
  for _ in $(seq 50); do curl "${curl_tls[@]}" -sf "$scheme://127.0.0.1:$p/file.js" -o /dev/null && break; sleep 0.1; done
done

run_hbr() { wrk_run "$scheme://127.0.0.1:$p_hbr/file.js"; }
run_nginx() { wrk_run "$scheme://127.0.0.1:$p_ngx/file.js"; }
echo "wrk -t2 -c64 -d${duration}s --latency $scheme://127.0.0.1:PORT/file.js (4096-byte file), $rounds rounds"
compare_rounds req/s 10
