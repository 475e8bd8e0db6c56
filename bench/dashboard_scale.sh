#!/usr/bin/env bash
# The dashboard at 1,000, 10,000 and 25,000 VMs (simulated hosts of 250 VMs each, so 4, 40 and
# 100 hosts) in headless Chromium: how soon the VM table shows after the login's redirect, how
# busy the page's main thread is while the live data refresh (and the worker that reads them),
# the JS heap, how long a search, a sort and the filters take, and the bytes of one live data
# refresh with and without gzip.
# "before" is the measurement of the same steps on the dashboard as it was (main at 269eec9),
# as first measured; "now" is measured by this run, the median of BENCH_LOGINS (5) logins. A last
# line gives the floor: the same login to a page that is the table already written out.
set -euo pipefail
source "$(dirname "$0")/common.sh"
seconds="${BENCH_SECONDS:-30}"
scales="${BENCH_SCALES:-1000 10000 25000}"

declare -A before_shown=([1000]="0.7 s" [10000]="5.4 s" [25000]="33 s")
declare -A before_busy=([1000]="3.8 %" [10000]="22.7 %" [25000]="63 %")
declare -A before_heap=([1000]="8 MB" [10000]="23 MB" [25000]="70 MB")

rows=()
for n in $scales; do
  hosts=$(( n / 250 ))
  port=$(free_port)
  base="http://127.0.0.1:$port"
  # The bench signs in several times in a row as one account.
  HBR_LOGIN_LIMITS=account_interval_ms=1 start_app_hbr "$work/$n" "$port"
  pid=$hbr_pid
  cookie=$(admin_cookie "$base" "$work/$n/hbr.log")
  # The local machine is not listed, so the count is exactly the simulated VMs.
  curl -sf -H "Cookie: $cookie" -X DELETE "$base/api/server/1" -o /dev/null || true
  for h in $(seq "$hosts"); do
    curl -sf -H "Cookie: $cookie" -d "{\"id\":0,\"name\":\"sim$h\",\"host\":\"sim://scale$h?vms=250&seed=$h\",\"user\":\"\",\"password\":\"\",\"disabled\":false}" \
      "$base/api/server/0" -o /dev/null
  done
  got=0
  for _ in $(seq 600); do
    got=$(curl -s -H "Cookie: $cookie" "$base/api/livedata" |
      python3 -c 'import json,sys; print(len(json.load(sys.stdin)["vms"]))' 2>/dev/null || echo 0)
    [ "$got" = "$n" ] && break; sleep 0.5
  done
  [ "$got" = "$n" ] || { echo "only $got of $n VMs listed"; exit 1; }
  plain=$(curl -s -H "Cookie: $cookie" "$base/api/livedata" -o /dev/null -w '%{size_download}')
  packed=$(curl -s -H "Cookie: $cookie" -H 'Accept-Encoding: gzip' "$base/api/livedata" -o /dev/null -w '%{size_download}')
  json=$(node "$here/bench/dashboard_scale.mjs" "$base" "$n" "$seconds")
  rss=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
  kill "$pid"; wait "$pid" 2>/dev/null || true
  rows+=("$(python3 - "$json" "$plain" "$packed" "$rss" "${before_shown[$n]:-—}" "${before_busy[$n]:-—}" "${before_heap[$n]:-—}" <<'PY'
import json, sys
m = json.loads(sys.argv[1]); plain, packed, rss = int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
bs, bb, bh = sys.argv[5:8]
print(f"{m['vms']:>6,} | {bs:>7} {m['shownMs']/1000:6.2f} s | {bb:>7} {m['busy']*100:6.2f} % {m.get('workerBusy', 0)*100:5.2f} % | {bh:>6} {m['heapMax']/1e6:6.1f} MB"
      f" | {m['search']:5.1f} {m['sort']:5.1f} {m['host']:5.1f} {m['state']:5.1f} ms"
      f" | {plain/1e6:6.2f} MB {packed/1e6:6.2f} MB | {rss/1024:5.0f} MB")
PY
)")
done

# The floor under "table shown" on this machine: the same login to a start page that is the table
# already written out (30 rows, the same style sheets, no scripts), so no page can show it sooner.
floor_root="$work/floor-app"
cp -r "$here/app" "$floor_root"
python3 - "$here/app/start.html" "$floor_root/start.html" <<'PY'
import re, sys
sheets = "".join(re.findall(r'<link rel="stylesheet"[^>]*>', open(sys.argv[1]).read()))
rows = "".join(f'<tr><td><a href="#/vm/{i}">vm-{i:03}</a></td><td>Running</td><td>OK</td><td>host</td></tr>' for i in range(30))
open(sys.argv[2], "w").write(
    '<!doctype html><html lang="en"><head><meta charset="utf-8"><title>VmHarbor</title>' + sheets +
    '</head><body class="app"><main class="container-xxl py-3"><h2>Virtual machines <span id="vm-count">(1000)</span></h2>'
    '<table id="vm-table" class="table table-vms"><thead><tr><th>Name</th><th>State</th><th>Status</th><th>Host</th></tr></thead>'
    f'<tbody>{rows}</tbody></table></main></body></html>')
PY
port=$(free_port)
HBR_LOGIN_LIMITS=account_interval_ms=1 start_app_hbr "$work/floor" "$port" "$floor_root"
floor=$(node "$here/bench/dashboard_scale.mjs" "http://127.0.0.1:$port" 1000 0 shown-only)
kill "$hbr_pid"; wait "$hbr_pid" 2>/dev/null || true

echo "Dashboard in headless Chromium, $seconds s of live refresh (every 3 s) per size; before = main at 269eec9, now = this build"
echo "   VMs | table shown      | main thread busy  worker | JS heap (max)  | search sort  host state | live data plain gzip | hbr RSS"
echo "       |  before    now   |  before    now     (now)  | before   now   | (now, median of five)   |  bytes per refresh   |"
printf '%s\n' "${rows[@]}"
python3 - "$floor" <<'PY'
import json, sys
m = json.loads(sys.argv[1])
print(f"floor: the same login to a written-out table with the same style sheets and no scripts: shown after {m['shownMs']/1000:.2f} s")
PY
