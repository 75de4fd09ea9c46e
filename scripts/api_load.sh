#!/bin/bash
# velko serve's API under load from a second process (wrk), with two simulated devices
# uploading meanwhile: each row is a number of connections kept open on GET /api/devices for
# a few seconds, with the median and 99th percentile of a request and requests a second, and
# the service's memory after. Figures depend on the machine; nothing passes or fails on them.
#   api_load.sh VELKO [SECONDS]
set -euo pipefail
velko=$1 seconds=${2:-5}
command -v wrk >/dev/null || { echo "api_load: wrk is missing: run ./scripts/setup"; exit 1; }
work=$(mktemp -d)
trap 'kill "$server" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
"$velko" serve --simulate 2 --listen 127.0.0.1:0 --data "$work/data" >"$work/out" 2>&1 &
server=$!
for _ in $(seq 100); do grep -q '^velko serve: token' "$work/out" && break; sleep 0.1; done
url=$(sed -n 's|^velko serve: listening on \(http://[^ ]*/\)$|\1|p' "$work/out")
token=$(sed -n 's|^velko serve: token (operate): ||p' "$work/out")
{
    echo "code,name,price"
    for i in $(seq 500); do echo "$((5900003000000 + i)),ARTYKUŁ $i,$((i % 90 + 1)).99"; done
} >"$work/list.csv"
curl -s -H "Authorization: Bearer $token" -H 'Content-Type: text/csv' \
    --data-binary @"$work/list.csv" "${url}api/groups/sim/upload" >/dev/null
printf '%12s %10s %10s %12s %10s\n' connections "p50 ms" "p99 ms" "requests/s" "RSS MiB"
for connections in 1 20 200; do
    threads=$((connections < 2 ? 1 : 2))
    wrk -t "$threads" -c "$connections" -d "${seconds}s" --latency \
        -H "Authorization: Bearer $token" "${url}api/devices" >"$work/wrk" 2>&1
    ms() {  # wrk's latency as milliseconds
        awk -v p="$1" '$1 == p { v = $2; u = v; sub(/[0-9.]+/, "", u); sub(/[a-z]+$/, "", v);
             print (u == "us" ? v / 1000 : u == "s" ? v * 1000 : v) }' "$work/wrk"
    }
    rate=$(awk '/^Requests\/sec:/ {print $2}' "$work/wrk")
    rss=$(awk '/^VmRSS:/ {printf "%.1f", $2 / 1024}' "/proc/$server/status")
    printf '%12d %10.2f %10.2f %12.0f %10s\n' "$connections" "$(ms 50%)" "$(ms 99%)" "$rate" "$rss"
done

# The service's memory and /api/health under floods: connections that trickle their headers
# (cut off after 10 s), and event streams held open (64 at most are taken).
python3 - "$url" "$token" "$server" <<'PY'
import socket, sys, time, urllib.parse, urllib.request
url, token, pid = sys.argv[1], sys.argv[2], sys.argv[3]
port = urllib.parse.urlparse(url).port
def rss():
    return next(int(l.split()[1]) for l in open("/proc/%s/status" % pid) if l.startswith("VmRSS:")) / 1024
def health_ms():
    start = time.monotonic()
    urllib.request.urlopen(url + "api/health", timeout=60).read()
    return (time.monotonic() - start) * 1000
def flood(name, make):
    held = []
    for i in range(400):
        try:
            s = socket.socket()
            s.bind(("127.0.2.%d" % (i % 50 + 1), 0))
            s.connect(("127.0.0.1", port))
            make(s)
            held.append(s)
        except OSError:
            break
    time.sleep(2)
    print("%-36s %10.1f %14.1f" % (name % len(held), rss(), health_ms()))
    for s in held:
        s.close()
print("\n%-36s %10s %14s" % ("flood", "RSS MiB", "health ms"))
flood("%d connections trickling headers", lambda s: s.sendall(b"GET /api/health HTTP/1.1\r\n"))
flood("%d event streams asked for", lambda s: s.sendall(
    b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + token.encode() +
    b"\r\n\r\n"))
PY
