#!/usr/bin/env bash
# GET /api/livedata of an instance managing 10 simulated hosts of 100 VMs each, 64 keep-alive
# connections with one session cookie, side by side with nginx serving the same reply bytes
# as a static file; then the instance's resident memory.
set -euo pipefail
source "$(dirname "$0")/common.sh"

mkdir -p "$work/root"
p_hbr=$(free_port); p_ngx=$(free_port)

start_static_hbr "$p_hbr" "$work/root"
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

run_hbr() { wrk_run -H "Cookie: $cookie" "$scheme://127.0.0.1:$p_hbr/api/livedata"; }
run_nginx() { wrk_run "$scheme://127.0.0.1:$p_ngx/livedata.json"; }
echo "wrk -t2 -c64 -d${duration}s --latency, $scheme, /api/livedata of 10 x 100 VMs ($(stat -c %s "$work/root/livedata.json") bytes), $rounds rounds"
compare_rounds req/s 10
echo "hbr resident memory with 10 x 100 VMs: $(awk '/VmRSS/ {print $2, $3}' /proc/$hbr_pid/status)"
