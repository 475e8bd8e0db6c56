#!/usr/bin/env bash
# Form logins per second with the salted password digest, authenticated GET /api/user/0 per
# second with one session cookie, and what the login throttle leaves of a guessing run: how
# many guesses were actually checked. wrk, 64 keep-alive connections.
set -euo pipefail
source "$(dirname "$0")/common.sh"

# start_hbr NAME LIMITS: an instance with its own database; prints its port. It runs in the
# caller's command substitution, so its pid file, not the job list, ends it with the script.
pid_files+=("$work/speed/hbr.pid" "$work/guess/hbr.pid")
start_hbr() {
  mkdir -p "$work/$1/root" "$work/$1/state"
  local port
  port=$(free_port)
  HBR_LOGIN_LIMITS="$2" HBR_STATE_DIR="$work/$1/state" "$hbr" run-exe \
    -url "http://127.0.0.1:$port/" -dbpath "$work/$1/hbr.db" -webroot "$work/$1/root" \
    < /dev/null > "$work/$1/hbr.log" 2>&1 &
  echo $! > "$work/$1/hbr.pid"
  for _ in $(seq 50); do curl -s "http://127.0.0.1:$port/login.html" -o /dev/null && break; sleep 0.1; done
  echo "$port"
}
rows() { sqlite3 -cmd ".timeout 10000" "$work/$1/hbr.db" "$2" 2>/dev/null || echo "?"; }

form_lua() {
  cat > "$work/$1.lua" <<LUA
wrk.method = "POST"
wrk.body = "usr=administrator&pwd=$2"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
LUA
}

# 1. Login speed. The account limit (one checked password a second per account) would measure
# itself, so this instance allows one per millisecond; everything else is the default.
port=$(start_hbr speed "account_interval_ms=1")
cookie=$(admin_cookie "http://127.0.0.1:$port" "$work/speed/hbr.log")
form_lua login bravo
before=$(rows speed 'SELECT count(*) FROM audit WHERE claim=100 AND result=0')
read -r login_rps login_p99 < <(wrk_run -s "$work/login.lua" "http://127.0.0.1:$port/login")
after=$(rows speed 'SELECT count(*) FROM audit WHERE claim=100 AND result=0')
logins=$((after - before))
read -r user_rps user_p99 < <(wrk_run -H "Cookie: $cookie" "http://127.0.0.1:$port/api/user/0")

# 2. Guessing against the default limits: one address, one account, wrong passwords.
port=$(start_hbr guess "")
form_lua guess wrong-guess
read -r guess_rps _ < <(wrk_run -s "$work/guess.lua" "http://127.0.0.1:$port/login")
answered=$(awk '/requests in/ {print $1}' "$work/wrk.txt")
checked=$(rows guess "SELECT count(*) FROM audit WHERE claim=100 AND result=1 AND description IS NULL")
throttle_rows=$(rows guess "SELECT count(*) FROM audit WHERE description LIKE 'throttled%'")

echo "wrk -t2 -c64 -d${duration}s --latency, hbr on 127.0.0.1"
printf '%-22s %12s req/s   p99 %s\n' "POST /login" "$login_rps" "$login_p99" \
  "GET /api/user/0" "$user_rps" "$user_p99"
echo "successful logins: $logins in ${duration}s ($(awk -v n="$logins" -v d="$duration" 'BEGIN {printf "%.1f", n / d}')/s, PBKDF2-HMAC-SHA256, $(grep -o 'kPasswordIterations = [0-9]*' "$here/store/password.h" | awk '{print $3}') iterations)"
echo "guessing run: $answered guesses answered ($guess_rps/s), $checked checked, $throttle_rows throttle audit row(s)"
