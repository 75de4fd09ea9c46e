#!/bin/bash
# Runs a Windows test host under Wine (32-bit, or 64-bit with VELKO_WINEARCH=win64) with COM1
# on a pseudo-terminal served by velko-sim.
#   run_wine.sh setup PREFIX
#   run_wine.sh SCENARIO PREFIX VELKO_SIM HOST_EXE [velko-sim options...]
set -euo pipefail
mode=$1 prefix=$2
export WINEPREFIX=$prefix WINEARCH=${VELKO_WINEARCH:-win32} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# COM1 must stay where we put it: Wine remaps dosdevices/com1 to /dev/ttyS0 whenever its server
# starts on a machine that has one, unless the Ports registry value names the device.
com1=$prefix/velko-com1
com2=$prefix/velko-com2  # never created: COM2 is a port that does not exist

if [ "$mode" = setup ]; then
    if [ ! -f "$prefix/.velko-ready" ]; then
        [ -d "$prefix" ] && { wineserver -k 2>/dev/null || true; }
        rm -rf "$prefix"
        wineboot -i </dev/null >/dev/null 2>&1
        wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$com1" /f </dev/null >/dev/null 2>&1
        wine reg add 'HKLM\Software\Wine\Ports' /v COM2 /d "$com2" /f </dev/null >/dev/null 2>&1
        wineserver -w </dev/null >/dev/null 2>&1
        touch "$prefix/.velko-ready"
    fi
    echo "wine prefix ready: $prefix"
    exit 0
fi

sim=$3 host=$4
shift 4
if [ ! -x "$sim" ]; then
    echo "velko-sim not found at '$sim': build the linux preset first" >&2
    exit 1
fi
out=$(mktemp -d)
trap 'kill $simpid 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$out"' EXIT
"$sim" --link "$com1" --zero-delay 100 "$@" >"$out/sim" &
simpid=$!
for _ in $(seq 100); do [ -s "$out/sim" ] && break; sleep 0.05; done
echo "device on $(cat "$out/sim") as COM1"
# Wine's server and its service processes outlive the host and would keep any pipe they
# inherit open (and the test runner waiting on it): they get files only.
cd "$(dirname "$host")"
status=0
wine "$(basename "$host")" "$mode" </dev/null >"$out/host" 2>&1 || status=$?
cat "$out/host"
exit $status
