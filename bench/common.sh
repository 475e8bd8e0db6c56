# Shared by the benchmark scripts, which source it first. It sets $here (the checkout), $hbr
# (HBR_EXE, else the hbr of HBR_BUILD or build/), $duration (seconds per wrk run, BENCH_SECONDS),
# $rounds (BENCH_ROUNDS) and $work, a scratch folder; at exit everything the script started ends (its background
# jobs, nginx, and the processes whose pid files the script lists in $pid_files) and $work goes.
# BENCH_SCHEME=https runs them over TLS: hbr and nginx then serve with the same certificate
# (made here, ECDSA P-256) and the same protocol versions.
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
hbr="${HBR_EXE:-${HBR_BUILD:-$here/build}/hbr}"
duration="${BENCH_SECONDS:-10}"
rounds="${BENCH_ROUNDS:-3}"
work="$(mktemp -d)"
pid_files=("$work/nginx.pid")
end_bench() {
  kill $(jobs -p) 2>/dev/null || true
  local f
  for f in "${pid_files[@]}"; do
    if [ -f "$f" ]; then kill "$(cat "$f")" 2>/dev/null || true; fi
  done
  sleep 0.3
  rm -rf "$work"
}
trap end_bench EXIT

scheme="${BENCH_SCHEME:-http}"
case "$scheme" in http|https) ;; *) echo "BENCH_SCHEME must be http or https" >&2; exit 2 ;; esac
curl_tls=()
hbr_tls=()
if [ "$scheme" = https ]; then
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=localhost \
    -addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout "$work/tls.key" -out "$work/tls.pem" 2>/dev/null
  chmod 644 "$work/tls.key"  # nginx reads it as root before dropping to its workers' account
  curl_tls=(-k)
  hbr_tls=(-cert "$work/tls.pem" -key "$work/tls.key")
fi

# require_nginx: installs nginx when it is missing (the benchmark's peer, not a dependency).
require_nginx() {
  command -v nginx > /dev/null || [ -x /usr/sbin/nginx ] && return 0
  echo "nginx is missing; installing it" >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y nginx-light > /dev/null 2>&1 ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y nginx > /dev/null
}

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# admin_cookie BASE LOG: the session cookie of the demo administrator's login at BASE; on
# failure prints LOG (the instance's output) and ends the script.
admin_cookie() {
  local cookie
  cookie=$(curl "${curl_tls[@]}" -s -D - -o /dev/null -d 'usr=administrator&pwd=bravo' "$1/login" |
    awk -F': ' 'tolower($1)=="set-cookie" {split($2, a, ";"); print a[1]}')
  [ -n "$cookie" ] || { echo "login failed" >&2; cat "$2" >&2; exit 1; }
  echo "$cookie"
}

# start_nginx PORT ROOT TYPE: nginx serving ROOT on 127.0.0.1:PORT with TYPE as default type;
# it ends with the script.
start_nginx() {
  require_nginx
  PATH="$PATH:/usr/sbin"
  mkdir -p "$work/nginx"
  local listen="listen 127.0.0.1:$1;"
  if [ "$scheme" = https ]; then
    listen="listen 127.0.0.1:$1 ssl; ssl_certificate $work/tls.pem; ssl_certificate_key $work/tls.key;
    ssl_protocols TLSv1.2 TLSv1.3; ssl_prefer_server_ciphers off;
    ssl_ciphers ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305;"
  fi
  # nginx's workers run as an unprivileged account: they must reach the served folder, or every
  # reply is a 403 and the comparison measures error pages.
  chmod 755 "$work"
  cat > "$work/nginx.conf" <<NGX
worker_processes auto;
pid $work/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/nginx; proxy_temp_path $work/nginx; fastcgi_temp_path $work/nginx;
  uwsgi_temp_path $work/nginx; scgi_temp_path $work/nginx;
  sendfile on;
  server { $listen root $2; default_type $3; }
}
NGX
  nginx -c "$work/nginx.conf" -p "$work/nginx"
}

# wrk_run WRK-ARGS...: one run with 2 threads and 64 connections; prints "rps p99".
wrk_run() {
  wrk -t2 -c64 -d"${duration}s" --latency "$@" > "$work/wrk.txt"
  if grep -q "Non-2xx" "$work/wrk.txt"; then
    echo "error replies during the run of $*:" >&2
    cat "$work/wrk.txt" >&2
    exit 1
  fi
  local rps p99
  rps=$(awk '/Requests\/sec/ {print $2}' "$work/wrk.txt")
  p99=$(awk '$1=="99%" {print $2}' "$work/wrk.txt")
  echo "$rps $p99"
}

# start_static_hbr PORT ROOT: hbr on 127.0.0.1:PORT in $scheme, serving ROOT as its web root, with
# its database, state and log in $work; its pid in $hbr_pid.
start_static_hbr() {
  mkdir -p "$work/state"
  HBR_STATE_DIR="$work/state" "$hbr" run-exe -url "$scheme://127.0.0.1:$1/" -dbpath "$work/hbr.db" \
    -webroot "$2" "${hbr_tls[@]}" < /dev/null > "$work/hbr.log" 2>&1 &
  hbr_pid=$!
}

# start_app_hbr DIR PORT [WEBROOT]: hbr serving the application (or WEBROOT) on
# http://127.0.0.1:PORT, its database, state and log in DIR, once its login page answers; its pid
# in $hbr_pid.
start_app_hbr() {
  mkdir -p "$1/state"
  HBR_STATE_DIR="$1/state" "$hbr" run-exe -url "http://127.0.0.1:$2/" -dbpath "$1/hbr.db" \
    -webroot "${3:-$here/app}" < /dev/null > "$1/hbr.log" 2>&1 &
  hbr_pid=$!
  for _ in $(seq 100); do curl -s "http://127.0.0.1:$2/login.html" -o /dev/null && break; sleep 0.1; done
}

# compare_rounds UNIT WIDTH: BENCH_ROUNDS (3) alternating rounds of run_hbr and run_nginx (each
# prints "rps p99"), a line a round with the ratio hbr/nginx, then the median ratio. The machine
# is shared, so one round alone says little.
compare_rounds() {
  local r ratio hbr_rps hbr_p99 ngx_rps ngx_p99 ratios=()
  for r in $(seq "$rounds"); do
    read -r hbr_rps hbr_p99 < <(run_hbr)
    read -r ngx_rps ngx_p99 < <(run_nginx)
    ratio=$(awk -v a="$hbr_rps" -v b="$ngx_rps" 'BEGIN { printf "%.2f", a / b }')
    ratios+=("$ratio")
    printf "round %d: hbr %$2s $1 p99 %-8s  nginx %$2s $1 p99 %-8s  ratio %s\n" \
      "$r" "$hbr_rps" "$hbr_p99" "$ngx_rps" "$ngx_p99" "$ratio"
  done
  printf '%s\n' "${ratios[@]}" | sort -n | awk '{ a[NR] = $1 } END { printf "median ratio hbr/nginx: %s\n", a[int((NR + 1) / 2)] }'
}
