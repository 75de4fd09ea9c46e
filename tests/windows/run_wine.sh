#!/bin/bash
# Runs a Windows test host under Wine (32-bit, or 64-bit with VELKO_WINEARCH=win64) with COM1
# on a pseudo-terminal served by velko-sim.
#   run_wine.sh setup PREFIX: makes the prefix that every test copies
#   run_wine.sh SCENARIO PREFIX VELKO_SIM HOST_EXE [velko-sim options...]: in a copy of PREFIX
#   run_wine.sh tool PREFIX VELKO_SIM VELKO_EXE CSV REFUSED_CSV: velko.exe uploads CSV through
#       COM1 and downloads it back, which must give the same bytes, and refuses REFUSED_CSV
#       with the very faults the Linux velko beside VELKO_SIM names; then downloads CSV from
#       velko-sim serving TCP on loopback, closes its day, and meets a silent TCP device and a
#       refused connection. Its files have Polish names, which Wine's ANSI code page lacks.
set -euo pipefail
mode=$1 prefix=$2
source "$(dirname "$0")/wine.sh"
skip_unless_wine_runs
if [ "$mode" = setup ]; then export WINEPREFIX=$prefix; else own_prefix "$prefix" "$mode"; prefix=$WINEPREFIX; fi
# COM1 must stay where we put it: Wine remaps dosdevices/com1 to /dev/ttyS0 whenever its server
# starts on a machine that has one, unless the Ports registry value names the device.
com1=$prefix/velko-com1
com2=$prefix/velko-com2  # never created: COM2 is a port that does not exist

if [ "$mode" = setup ]; then
    if [ ! -f "$prefix/.velko-ready" ]; then
        [ -d "$prefix" ] && release_wineserver
        rm -rf "$prefix"
        mkdir -p "$prefix" && hold_wineserver
        wineboot -i </dev/null >/dev/null 2>&1
        wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$com1" /f </dev/null >/dev/null 2>&1
        wine reg add 'HKLM\Software\Wine\Ports' /v COM2 /d "$com2" /f </dev/null >/dev/null 2>&1
        release_wineserver  # saves the registry
        touch "$prefix/.velko-ready"
    fi
    echo "wine prefix ready: $prefix"
    exit 0
fi

sim=$3 host=$4
shift 4
if [ "$mode" = tool ]; then csv=$1 refused=$2; shift 2; fi
if [ ! -x "$sim" ]; then
    echo "velko-sim not found at '$sim': build the linux preset first" >&2
    exit 1
fi
out=$(mktemp -d)
sims=()
hold_wineserver
trap 'kill "${sims[@]}" 2>/dev/null || true; release_wineserver; wait 2>/dev/null || true; rm -rf "$out"' EXIT
# Starts velko-sim with the given options; its line's name lands in $out/NAME.
serve() {
    local name=$1
    shift
    "$sim" "$@" >"$out/$name" &
    sims+=($!)
    for _ in $(seq 100); do [ -s "$out/$name" ] && break; sleep 0.05; done
}
serve sim --link "$com1" --zero-delay 100 "$@"
echo "device on $(cat "$out/sim") as COM1"
# Wine's server and its service processes outlive the host and would keep any pipe they
# inherit open (and the test runner waiting on it): they get files only.
cd "$(dirname "$host")"
status=0
if [ "$mode" = tool ]; then
    # velko.exe with its output in files, like every Wine program here. Wine's drive Z: is
    # the root of the file system. Under this locale Wine's ANSI code page is 1252, which has
    # no 'ż', 'ł' or 'ć', and Unix names are UTF-8: a name with them reaches the tool only
    # through the wide command line, and a file only through the wide calls.
    export LC_ALL=C.UTF-8
    velko() { wine velko.exe "$@" </dev/null >>"$out/host" 2>>"$out/errors"; }
    tool() {
        wine reg query 'HKLM\System\CurrentControlSet\Control\Nls\CodePage' /v ACP </dev/null |
            grep -qw 1252 || { echo "Wine's ANSI code page is not 1252"; return 1; }
        local list=$out/cennik_żółć.csv
        cp "$csv" "$list"
        velko --line COM1 --trace "Z:$out/ślad_żółć.log" upload "Z:$list" || return
        velko --line COM1 download -o "Z:$out/wynik_łódź.csv" || return
        cmp "$list" "$out/wynik_łódź.csv" || return
        grep -q "VELKOComm::send" "$out/ślad_żółć.log" || { echo "no trace"; return 1; }
        echo "ok: the downloaded table equals the upload, its trace beside it"
        # A fault names the file as it was given.
        velko upload "Z:$out/brak_źdźbła.csv" && return 1
        grep -qF "velko: Z:$out/brak_źdźbła.csv: cannot be read" "$out/errors" || return

        cp "$refused" "$out/refused.csv"
        "$(dirname "$sim")/velko" upload "$out/refused.csv" 2>"$out/linux" && return 1
        : >"$out/errors"
        local status=0
        velko --line COM1 upload "Z:$out/refused.csv" || status=$?
        sed -i 's/^velko: Z:/velko: /; s/\r$//' "$out/errors"  # stderr stays text: CRLF
        diff "$out/linux" "$out/errors" || return
        [ $status -eq 3 ] || { echo "exit status $status, not 3 (bad input)"; return 1; }
        echo "ok: $(wc -l <"$out/errors") fault lines, the same as on Linux"

        serve tcp --tcp 0 --zero-delay 0 --seed "$list"
        local line
        line=$(cat "$out/tcp")
        # One file per line, named within its directory when Windows' own separator ends the
        # directory and the directory's name has a dot.
        mkdir "$out/kopie.d"
        velko --line COM1 --line "$line" download -o "Z:$out/kopie.d\\tabela" || return
        cmp "$list" "$out/kopie.d/tabela-1" && cmp "$list" "$out/kopie.d/tabela-2" || return
        echo "ok: the same table from COM1 and $line"
        # The close of day's durable write on Windows: no report, no reset; then the report.
        status=0
        velko --line "$line" close-day -o "Z:$out/missing" || status=$?
        [ $status -eq 5 ] || { echo "exit status $status, not 5 (report not saved)"; return 1; }
        mkdir "$out/raporty_źródło"
        velko --line "$line" close-day -o "Z:$out/raporty_źródło" || return
        cmp "$list" "$out"/raporty_źródło/device-01_*.csv || return
        echo "ok: the close of day saved its report"

        # A TCP line keeps a serial line's time limits and result codes: a silent device
        # ends in VELKO_ERR_READ (exit 14), a refused connection in VELKO_ERR_OPEN (12).
        serve silent --tcp 0 --silent
        for expect in "$(cat "$out/silent")":14 tcp://127.0.0.1:1:12; do
            status=0
            velko --line "${expect%:*}" zero-counters || status=$?
            [ $status -eq "${expect##*:}" ] || { echo "${expect%:*}: exit status $status"; return 1; }
        done
        echo "ok: a silent device and a refused connection over TCP"
    }
    tool || status=$?
    cat "$out/host" "$out/errors" 2>/dev/null || true
    exit $status
fi
wine "$(basename "$host")" "$mode" </dev/null >"$out/host" 2>&1 || status=$?
cat "$out/host"
exit $status
