#!/usr/bin/env bash
# One hbr instance managing 50 remote Hyper-V hosts over WS-Management (test servers on
# loopback, one port and certificate each, 20 VMs per host) against the same instance managing
# 50 simulated hosts in process (sim://, the same VMs): hbr's CPU, resident memory and threads
# over a minute of polling once every host's VMs are listed, and the CPU of the process serving
# the WS-Management hosts.
#   bench/wsman_hosts.sh            (BENCH_HOSTS, BENCH_VMS, BENCH_SECONDS change the sizes)
set -euo pipefail
source "$(dirname "$0")/common.sh"
farm="${HBR_BUILD:-$here/build}/bench/wsman_host_farm"
hosts="${BENCH_HOSTS:-50}"
vms="${BENCH_VMS:-20}"
seconds="${BENCH_SECONDS:-60}"
tick=$(getconf CLK_TCK)

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
status_kb() { awk -v k="$2:" '$1==k {print $2}' "/proc/$1/status"; }

# measure KIND: starts hbr, adds the hosts of $work/hosts.txt, waits for every VM, then samples.
measure() {
  local kind=$1 dir="$work/$1"
  local port base pid cookie
  port=$(free_port)
  base="http://127.0.0.1:$port"
  start_app_hbr "$dir" "$port"
  pid=$hbr_pid
  cookie=$(admin_cookie "$base" "$dir/hbr.log")
  curl -sf -H "Cookie: $cookie" -X DELETE "$base/api/server/1" -o /dev/null || true
  local n=0
  while read -r host user password; do
    n=$((n + 1))
    curl -sf -H "Cookie: $cookie" \
      -d "{\"id\":0,\"name\":\"h$n\",\"host\":\"$host\",\"user\":\"$user\",\"password\":\"$password\",\"disabled\":false}" \
      "$base/api/server/0" -o /dev/null || { echo "adding $host failed"; exit 1; }
  done < "$work/hosts-$kind.txt"
  local want=$((hosts * vms)) got=0
  for _ in $(seq 600); do
    got=$(curl -s -H "Cookie: $cookie" "$base/api/livedata" |
      python3 -c 'import json,sys; print(len(json.load(sys.stdin)["vms"]))' 2>/dev/null || echo 0)
    [ "$got" = "$want" ] && break; sleep 0.5
  done
  [ "$got" = "$want" ] || { echo "$kind: only $got of $want VMs listed"; tail "$dir/hbr.log"; exit 1; }
  local c0 f0 rss_max=0 thr_max=0 rss thr
  c0=$(cpu_ticks "$pid")
  f0=$( [ -n "${farm_pid:-}" ] && [ "$kind" = wsman ] && cpu_ticks "$farm_pid" || echo 0)
  for _ in $(seq "$seconds"); do
    sleep 1
    rss=$(status_kb "$pid" VmRSS); thr=$(status_kb "$pid" Threads)
    [ "$rss" -gt "$rss_max" ] && rss_max=$rss
    [ "$thr" -gt "$thr_max" ] && thr_max=$thr
  done
  local c1 f1
  c1=$(cpu_ticks "$pid")
  f1=$( [ -n "${farm_pid:-}" ] && [ "$kind" = wsman ] && cpu_ticks "$farm_pid" || echo 0)
  curl -s -H "Cookie: $cookie" "$base/api/livedata" -o "$dir/live.json"
  # Every host answered: no status text of a failing connection in the live data.
  python3 - "$dir/live.json" "$kind" <<'PY' || true
import json, sys
try:
    d = json.load(open(sys.argv[1]))
except ValueError:
    sys.exit(f"{sys.argv[2]}: the last live data could not be read")
bad = [s for s in d.get("servers", []) if s.get("status") not in (None, "", "OK")]
if bad: print(f"{sys.argv[2]}: {len(bad)} hosts report a status, e.g. {bad[0]}", file=sys.stderr)
PY
  kill "$pid"; wait "$pid" 2>/dev/null || true
  echo "$(( (c1 - c0) )) $rss_max $thr_max $(( (f1 - f0) ))"
}

: > "$work/hosts-sim.txt"
for h in $(seq "$hosts"); do echo "sim://benchsim$h?vms=$vms&seed=$h x x" >> "$work/hosts-sim.txt"; done

mkfifo "$work/farm-in"
"$farm" "$hosts" "$vms" < "$work/farm-in" > "$work/farm-out" 2> "$work/farm-err" &
farm_pid=$!
exec 9> "$work/farm-in"  # held open: the farm serves until it closes
for _ in $(seq 600); do grep -q '^ready$' "$work/farm-out" 2>/dev/null && break; sleep 0.1; done
grep -q '^ready$' "$work/farm-out" || { echo "the host farm did not start"; cat "$work/farm-err"; exit 1; }
grep -v '^ready$' "$work/farm-out" > "$work/hosts-wsman.txt"

read -r sim_cpu sim_rss sim_thr _ <<< "$(measure sim)"
read -r ws_cpu ws_rss ws_thr farm_cpu <<< "$(measure wsman)"
exec 9>&-

pct() { python3 -c "print(f'{$1 / $tick / $seconds * 100:.1f} %')"; }
echo "One hbr instance, $hosts hosts x $vms VMs, $seconds s of polling (every 6 s) after every VM is listed"
printf '%-34s %18s %18s\n' "" "sim:// in process" "WS-Management"
printf '%-34s %18s %18s\n' "hbr CPU (of one core)" "$(pct "$sim_cpu")" "$(pct "$ws_cpu")"
printf '%-34s %15s MB %15s MB\n' "hbr RSS (max)" "$((sim_rss / 1024))" "$((ws_rss / 1024))"
printf '%-34s %18s %18s\n' "hbr threads (max)" "$sim_thr" "$ws_thr"
printf '%-34s %18s %18s\n' "host side CPU (test servers)" "-" "$(pct "$farm_cpu")"
