#!/usr/bin/env bash
# TLS handshakes per second: every request on a new connection ("Connection: close"), 64 at a
# time, for a 100-byte file; hbr and nginx side by side on loopback with the same certificate
# (ECDSA P-256), so each request is a full handshake on both.
set -euo pipefail
BENCH_SCHEME=https
source "$(dirname "$0")/common.sh"

mkdir -p "$work/root"
head -c 100 /dev/zero | tr '\0' 'x' > "$work/root/tiny.js"
p_hbr=$(free_port); p_ngx=$(free_port)

start_static_hbr "$p_hbr" "$work/root"
start_nginx "$p_ngx" "$work/root" application/javascript
for p in $p_hbr $p_ngx; do
  for _ in $(seq 50); do curl -k -sf "https://127.0.0.1:$p/tiny.js" -o /dev/null && break; sleep 0.1; done
done

run_hbr() { wrk_run -H "Connection: close" "https://127.0.0.1:$p_hbr/tiny.js"; }
run_nginx() { wrk_run -H "Connection: close" "https://127.0.0.1:$p_ngx/tiny.js"; }
echo "wrk -t2 -c64 -d${duration}s --latency -H 'Connection: close' https://127.0.0.1:PORT/tiny.js: one full handshake per request, $rounds rounds"
compare_rounds handshakes/s 9
