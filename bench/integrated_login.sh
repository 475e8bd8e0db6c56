#!/usr/bin/env bash
# Integrated-authentication logins per second, 16 clients at once, beside form logins: each
# login is a whole handshake on a connection of its own (NTLM: three requests; Kerberos with a
# ticket in hand: one) ending in a new session, as a browser's first visit does. Clients are
# curl processes, so the figures include their start-up; form logins are measured the same way.
set -euo pipefail
source "$(dirname "$0")/common.sh"
pid_files+=("$work/kdc/kdc.pid")
clients=16

mkdir -p "$work/state" "$work/kdc" "$work/root"
printf 'CORP:ops:Secret1\n' > "$work/users"
bash "$here/tests/support/start-kdc.sh" "$work/kdc" "$(free_port)"
export KRB5_CONFIG="$work/kdc/krb5.conf" KRB5CCNAME="FILE:$work/kdc/ccache"
port=$(free_port)
HBR_STATE_DIR="$work/state" NTLM_USER_FILE="$work/users" NETBIOS_DOMAIN_NAME=CORP \
  KRB5_KTNAME="$work/kdc/http.keytab" HBR_KRB5_REALMS=HBR.TEST=CORP \
  "$hbr" run-exe -url "http://localhost:$port/" -dbpath "$work/hbr.db" -webroot "$work/root" \
  -auth Negotiate -admin 'CORP\ops' < /dev/null > "$work/hbr.log" 2>&1 &
for _ in $(seq 100); do curl -s "http://localhost:$port/" -o /dev/null && break; sleep 0.1; done
sqlite3 "$work/hbr.db" "INSERT INTO users (name, roleId) VALUES ('CORP\\dave', 1);"
port2=$(free_port)
HBR_STATE_DIR="$work/state" "$hbr" run-exe -url "http://127.0.0.1:$port2/" -dbpath "$work/form.db" \
  -webroot "$work/root" < /dev/null > "$work/form.log" 2>&1 &
for _ in $(seq 100); do curl -s "http://127.0.0.1:$port2/login.html" -o /dev/null && break; sleep 0.1; done

# Runs `clients` loops of the given curl arguments for `duration` seconds; prints logins/s.
rate() {
  local end=$((SECONDS + duration)) counts="$work/counts.$RANDOM" pids=()
  for _ in $(seq "$clients"); do
    ( n=0; while [ $SECONDS -lt $end ]; do
        code=$(curl -s -o /dev/null -w '%{http_code}' "$@") || true
        case "$code" in 200|302) n=$((n + 1)) ;; esac
      done; echo "$n" >> "$counts" ) &
    pids+=($!)
  done
  wait "${pids[@]}"
  awk -v d="$duration" '{s += $1} END {printf "%.1f", s / d}' "$counts"
}
ntlm=$(rate --ntlm -u 'CORP\ops:Secret1' "http://localhost:$port/api/user/0")
kerberos=$(rate --negotiate -u : "http://localhost:$port/api/user/0")
form=$(rate -d 'usr=administrator&pwd=bravo' "http://127.0.0.1:$port2/login")
echo "logins per second, $clients curl clients, ${duration}s each, hbr on loopback"
printf '%-34s %8s\n' "NTLM (curl --ntlm)" "$ntlm" "Kerberos (curl --negotiate)" "$kerberos" \
  "form (POST /login)" "$form"
