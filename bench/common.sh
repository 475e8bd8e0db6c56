# Shared by the HTTP benchmark scripts; they source it after setting $work (a scratch folder)
# and $duration (seconds per wrk run). BENCH_SCHEME=https runs them over TLS: hbr and nginx then
# serve with the same certificate (made here, ECDSA P-256) and the same protocol versions.
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
# its pid file is $work/nginx.pid, for the caller's exit trap.
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
