#!/bin/bash
# velko-sim.exe under Wine, as a Windows developer runs it without a device: serving TCP on
# an address of its own, reached by the native velko: a CSV uploaded and downloaded back the
# same, a sale rung up on its standard input seen in the download, and what Windows' velko-sim
# does not do (a terminal, --store) refused with the reason.
#   sim_windows.sh PREFIX VELKO_SIM_EXE VELKO CSV
set -euo pipefail
prefix=$1 sim=$2 velko=$3 csv=$4
source "$(dirname "$0")/wine.sh"
skip_unless_wine_runs
own_prefix "$prefix" sim
hold_wineserver
work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; release_wineserver; wait 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; cat "$work"/*.log 2>/dev/null; exit 1; }

status=0
wine "$sim" </dev/null >"$work/pty.log" 2>&1 || status=$?
[ $status = 1 ] && grep -q "on Windows the device is served on TCP" "$work/pty.log" ||
    fail "a terminal was not refused ($status)"
status=0
wine "$sim" --tcp 0 --store x.json </dev/null >"$work/store.log" 2>&1 || status=$?
[ $status = 1 ] && grep -q "store is not kept on Windows" "$work/store.log" ||
    fail "--store was not refused ($status)"
[ "$(wine "$sim" --version </dev/null 2>/dev/null | tr -d '\r')" = "velko-sim $("$velko" --version | cut -d' ' -f2)" ] ||
    fail "velko-sim.exe --version"

# Sales come on standard input: a pipe held open by this script.
mkfifo "$work/sales"
wine "$sim" --tcp 127.0.0.1:0 --zero-delay 0 <"$work/sales" >"$work/sim.log" 2>&1 &
pid=$!
exec 3>"$work/sales"
for _ in $(seq 200); do grep -q '^tcp://' "$work/sim.log" && break; sleep 0.05; done
line=$(grep -m1 '^tcp://' "$work/sim.log" | tr -d '\r') || fail "velko-sim.exe named no line"
"$velko" --line "$line" upload "$csv" >"$work/upload.log" 2>&1 || fail "upload to $line"
"$velko" --line "$line" download -o "$work/back.csv" >"$work/download.log" 2>&1 || fail "download"
cmp "$csv" "$work/back.csv" || fail "the table came back different"
code=$(sed -n '2s/[,;].*//p' "$csv")
echo "sell $code 2.5" >&3
for _ in $(seq 100); do grep -q "sold 2.5 of $code" "$work/sim.log" && break; sleep 0.05; done
"$velko" --line "$line" download -o "$work/sold.csv" >>"$work/download.log" 2>&1 || fail "download"
grep -q "^$code,.*,2.500," "$work/sold.csv" || fail "the sale is not in the download"
exec 3>&-
echo "velko-sim.exe: served $line, a table round trip and a sale rung up on its input"
