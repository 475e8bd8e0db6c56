#!/usr/bin/env bash
# Form logins per second (POST /login, each making a session and two audit writes) and
# authenticated GET /api/user/0 per second with one session cookie, 64 keep-alive connections.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
hbr="${HBR_EXE:-$here/build/hbr}"
duration="${BENCH_SECONDS:-10}"
work="$(mktemp -d)"
source "$here/bench/common.sh"
trap 'kill $(jobs -p) 2>/dev/null || true; sleep 0.3; rm -rf "$work"' EXIT

mkdir -p "$work/root" "$work/state"
port=$(free_port)
HBR_STATE_DIR="$work/state" "$hbr" run-exe -url "http://127.0.0.1:$port/" -dbpath "$work/hbr.db" \
  -webroot "$work/root" < /dev/null > "$work/hbr.log" 2>&1 &
for _ in $(seq 50); do curl -s "http://127.0.0.1:$port/login.html" -o /dev/null && break; sleep 0.1; done

cat > "$work/login.lua" <<'LUA'
wrk.method = "POST"
wrk.body = "usr=administrator&pwd=bravo"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
LUA
cookie=$(curl -s -D - -o /dev/null -d 'usr=administrator&pwd=bravo' "http://127.0.0.1:$port/login" |
  awk -F': ' 'tolower($1)=="set-cookie" {split($2, a, ";"); print a[1]}')
[ -n "$cookie" ] || { echo "login failed"; cat "$work/hbr.log"; exit 1; }

run() { wrk_run "$@"; }  # prints "rps p99"
read -r login_rps login_p99 < <(run -s "$work/login.lua" "http://127.0.0.1:$port/login")
read -r user_rps user_p99 < <(run -H "Cookie: $cookie" "http://127.0.0.1:$port/api/user/0")
sessions_note=$(sqlite3 "$work/hbr.db" 'SELECT count(*) FROM audit WHERE claim=100' 2>/dev/null || echo "?")
echo "wrk -t2 -c64 -d${duration}s --latency, hbr on 127.0.0.1"
printf '%-22s %12s req/s   p99 %s\n' "POST /login" "$login_rps" "$login_p99" \
  "GET /api/user/0" "$user_rps" "$user_p99"
echo "login audit rows written: $sessions_note"
