#!/bin/bash
# The Windows installer's whole life under 64-bit Wine, in a Wine prefix of its own: two
# packages made from this tree (VERSION and a newer one), their tables read back; the older
# installed (files, Start menu, the service "velko" and its account, its first start writing an
# example configuration), its service run against velko-sim on TCP with a price list synced
# and the day closed; the newer installed over it, which must keep the edited configuration,
# the job log and the reports, and run the service again; then removed, which must take the
# program and the service and leave %ProgramData%\velko.
#   msi_install.sh ROOT X64_BUILD X86_BUILD VELKO_SIM VERSION
set -euo pipefail
root=$1 x64=$2 x86=$3 sim=$4 version=$5
for tool in wixl msiinfo; do
    command -v $tool >/dev/null ||
        { echo "FAIL: $tool is missing: run ./scripts/setup windows (wixl and msitools)"; exit 1; }
done
work=$(mktemp -d)
export WINEPREFIX=$work/prefix VELKO_WINEARCH=win64
source "$(dirname "$0")/wine.sh"
pids=()
cleanup() {
    kill "${pids[@]}" 2>/dev/null || true
    release_wineserver
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    cat "$data/velko.toml.log" 2>/dev/null || true
    exit 1
}
c=$WINEPREFIX/drive_c
app="$c/Program Files/Velko" data=$c/ProgramData/velko
win() { wine "$@" </dev/null 2>/dev/null | tr -d '\r'; }

# The packages. The newer one carries the same program under the next version, as a release
# would: what an upgrade must do does not depend on what changed inside.
IFS=. read -r major minor patch <<<"$version"
newer=$major.$minor.$((patch + 1))
for v in "$version" "$newer"; do
    "$root/packaging/msi/make-msi.sh" "$work/velko-$v-x64.msi" "$v" "$root" "$x64" "$x86" \
        "$(dirname "$sim")/dotnet" || fail "the package $v was not made"
done
old=$work/velko-$version-x64.msi new=$work/velko-$newer-x64.msi
table() { msiinfo export "$1" "$2" | tail -n +4 | tr -d '\r'; }
property() { table "$1" Property | awk -F'\t' -v p="$2" '$1 == p {print $2}'; }
row() { local IFS=$'\t'; echo "$*"; }  # the fields given, as a table's row
# ServiceInstall: own process (16), started with Windows (2), normal errors (1), its virtual
# account and no password, the command line velko.exe gives itself with --install-service,
# tied to the program's component.
[ "$(table "$old" ServiceInstall | cut -f2-12)" = "$(row velko 'velko serve' 16 2 1 '' '' \
    'NT SERVICE\velko' '' 'serve --windows-service --config "[CommonAppDataFolder]velko\velko.toml"' \
    Program)" ] || fail "ServiceInstall: $(table "$old" ServiceInstall)"
# ServiceControl: stopped on install and removal (2 + 32) and deleted on removal (128), waited
# for (its program must be free to go); started on install (1), not waited for (a configuration
# that stops it must not undo the installation).
[ "$(table "$old" ServiceControl | cut -f1-3,5,6 | sort)" = "$( (row StartService velko 1 0 Program
                                                               row StopService velko 162 1 Program) | sort)" ] ||
    fail "ServiceControl: $(table "$old" ServiceControl)"
[ "$(table "$old" Shortcut | cut -f1-5)" = "$(row Documentation MenuFolder 'Velko documentation' Menu '[DocsFolder]')" ] ||
    fail "Shortcut: $(table "$old" Shortcut)"
[ "$(table "$old" File | awk -F'\t' '$1 == "StaffPage" {print $2 "\t" $3}')" = "$(row Menu 'Velko staff page.url')" ] ||
    fail "no staff page in the Start menu"
upgrade=$(property "$old" UpgradeCode)
[ "$upgrade" = "$(property "$new" UpgradeCode)" ] &&
    [ "$(property "$old" ProductCode)" != "$(property "$new" ProductCode)" ] &&
    [ "$(property "$old" ProductVersion)" = "$version" ] &&
    [ "$(property "$new" ProductVersion)" = "$newer" ] || fail "the packages' codes and versions"
# Upgrade: every older version is found (and removed before this one goes in); a newer one
# installed makes this one refuse.
[ "$(table "$new" Upgrade | sort)" = "$( (row "$upgrade" '' "$newer" '' 1 '' WIX_UPGRADE_DETECTED
                                           row "$upgrade" "$newer" '' '' 2 '' WIX_DOWNGRADE_DETECTED) | sort)" ] ||
    fail "Upgrade: $(table "$new" Upgrade)"
table "$new" InstallExecuteSequence | grep -q '^RemoveExistingProducts' || fail "no RemoveExistingProducts"
echo "ok: two packages, $version and $newer, with the service, its control, the Start menu and the upgrade"

mkdir -p "$WINEPREFIX"
hold_wineserver
wineboot -i </dev/null >/dev/null 2>&1
# Wine's service manager creates no service in the session that made the prefix: a new one.
release_wineserver
hold_wineserver
# Wine ends its services with the last program that is not one: a program waits beside them.
wine cmd /c "ping -n 200 127.0.0.1 > nul" </dev/null >/dev/null 2>&1 &
pids+=($!)
"$sim" --tcp 0 >"$work/sim" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/sim" ] && break; sleep 0.05; done

status=0
win msiexec /i "Z:${old//\//\\}" /qn || status=$?
[ $status -eq 0 ] || fail "msiexec /i $version: $status"
for file in bin/velko.exe bin/velko-sim.exe bin/VELKO_DLL.dll include/velko/velko.h \
            lib/VELKO_DLL.lib lib/VELKO_DLL.dll.a lib/VELKO_DLL.def lib/cmake/velko/velkoConfig.cmake \
            x86/bin/VELKO_DLL.dll x86/lib/VELKO_DLL.lib x86/lib/VELKO_DLL.dll.a x86/lib/VELKO_DLL.def \
            x86/include/velko/velko.h dotnet/Velko.dll dotnet/Velko.cs pascal/VelkoDll.pas \
            docs/GETTING-STARTED.md docs/SERVICE.md licenses/mingw-w64.txt LICENSE CHANGELOG.md; do
    [ -f "$app/$file" ] || fail "not installed: $file"
done
# Each DLL for its hosts: the PE header's machine, 0x8664 (x64) and 0x14c (x86).
machine() { python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(); print(hex(struct.unpack_from("<H", d, struct.unpack_from("<I", d, 60)[0] + 4)[0]))' "$1"; }
[ "$(machine "$app/bin/VELKO_DLL.dll")" = 0x8664 ] && [ "$(machine "$app/x86/bin/VELKO_DLL.dll")" = 0x14c ] ||
    fail "the DLLs are not for x64 and x86"
[ ! -e "$app/x86/bin/velko.exe" ] || fail "a 32-bit velko.exe beside the 32-bit DLL"
# Windows puts a per-machine package's Start menu in every user's; Wine puts it in this user's.
menu=$(find "$c/ProgramData/Microsoft/Windows/Start Menu/Programs" \
            "$c/users"/*/AppData/Roaming/Microsoft/Windows/"Start Menu"/Programs \
            -maxdepth 1 -name Velko -type d | head -n 1)
[ -n "$menu" ] && [ -f "$menu/Velko documentation.lnk" ] &&
    grep -q '^URL=http://127.0.0.1:8640/' "$menu/Velko staff page.url" || fail "the Start menu"

# Windows' installer quotes the program's path in the service's command line; Wine's does not
# (and Wine starts it all the same).
service=HKLM\\System\\CurrentControlSet\\Services\\velko
registered=$(win reg query "$service")
grep -q 'ObjectName    REG_SZ    NT SERVICE\\velko$' <<<"$registered" &&
    grep -q 'Start    REG_DWORD    0x2$' <<<"$registered" &&
    grep -q 'ImagePath    REG_SZ    "\?C:\\Program Files\\Velko\\bin\\velko.exe"\? serve --windows-service --config "C:\\ProgramData\\velko\\velko.toml"$' <<<"$registered" ||
    fail "the service's registration: $registered"
# Started once installed: the first start writes an example configuration and stops, as no
# device is named yet. Wine has no virtual service accounts, so the folder cannot be limited
# to NT SERVICE\velko here (on Windows the service made it and may); and Wine's permissions
# of a file are its Unix mode, other users' bits as Everyone's, so the example, 0644 here, is
# one every local user may read, which every start says.
for _ in $(seq 100); do grep -q "not started" "$data/velko.toml.log" 2>/dev/null && break; sleep 0.1; done
log=$(cat "$data/velko.toml.log" 2>/dev/null || true)
grep -qF 'wrote an example configuration to C:\ProgramData\velko\velko.toml' <<<"$log" &&
    grep -qF 'no [[device]] is configured' <<<"$log" &&
    grep -qF 'cannot limit C:\ProgramData\velko to SYSTEM, Administrators and the service' <<<"$log" &&
    grep -qF 'warning: every local user may read C:\ProgramData\velko\velko.toml' <<<"$log" &&
    grep -qF 'icacls "C:\ProgramData\velko" /inheritance:r' <<<"$log" ||
    fail "the first start"
grep -q '^data = "C:\\\\ProgramData\\\\velko"' "$data/velko.toml" || fail "the example's data folder"
secret=$(sed -nE 's/^secret = "([0-9a-f]{32})"\r?$/\1/p' "$data/velko.toml")
[ -n "$secret" ] || fail "no secret of its own in the example"
echo "ok: $version installed: files, Start menu, the service as NT SERVICE\\velko, an example configuration"

# The administrator names the device and a port, and makes the configuration theirs alone
# (0600: what Wine shows as a file no one else may read), which the next start must see.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
sed -i "s/^listen = \"127.0.0.1:8640\"/listen = \"127.0.0.1:$port\"/" "$data/velko.toml"
printf '\r\n[[device]]\r\nname = "till-1"\r\nline = "%s"\r\n' "$(cat "$work/sim")" >>"$data/velko.toml"
chmod 600 "$data/velko.toml"
cp "$data/velko.toml" "$work/edited.toml"
api=http://127.0.0.1:$port/api
auth="Authorization: Bearer $secret"
up() {
    for _ in $(seq 150); do curl -sf "$api/health" >/dev/null && return 0; sleep 0.2; done
    return 1
}
job() {  # POSTs to $1 with the rest as curl's options; waits for the job; prints its id and state
    local id
    id=$(curl -s -H "$auth" "${@:2}" "$api/$1" | python3 -c 'import json,sys; print(json.load(sys.stdin)["id"])')
    echo "$id $(job_state "$id")"
}
lines=$(wc -l <"$data/velko.toml.log")
win sc start velko >/dev/null || fail "sc start"
up || fail "the installed service did not answer"
page=$(curl -s -w '\n%{http_code}' "http://127.0.0.1:$port/")
grep -qi '<html' <<<"$page" || fail "no staff page: $(tail -c 300 <<<"$page")"
printf 'kod;nazwa;cena\n123;KAWA;4,50\n' >"$work/prices.csv"
synced=$(job devices/till-1/sync -H 'Content-Type: text/csv' --data-binary @"$work/prices.csv")
[[ $synced == *" done "* ]] || fail "sync: $synced"
closed=$(job devices/till-1/close-day -X POST)
[[ $closed == *" done "* ]] || fail "close-day: $closed"
ls "$data/reports/"* >/dev/null 2>&1 || fail "no report in $data\\reports"
tail -n +$((lines + 1)) "$data/velko.toml.log" | grep -q "every local user may read" &&
    fail "a configuration only its owner may read was said to be readable by all"
echo "ok: the installed service answers on port $port: the page, a sync and a close of day"

# Windows' installer stops the service and waits for it (Wait="yes", up to 30 s) before its
# program goes; Wine's asks it to stop and goes on at once, and then cannot remove the program
# still running (a reboot's work, exit status 3010). So the service is stopped here first.
stop_service() {
    win sc stop velko >/dev/null || true
    for _ in $(seq 100); do win sc query velko | grep -q 'STATE.*STOPPED' && return; sleep 0.2; done
    fail "the service did not stop"
}

# The newer package over it: the older one and its service go, the newer one's service starts
# on the configuration as the administrator left it.
stop_service
status=0
win msiexec /i "Z:${new//\//\\}" /qn || status=$?
[ $status -eq 0 ] || fail "msiexec /i $newer: $status"
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
win reg query "$uninstall\\$(property "$old" ProductCode)" >/dev/null 2>&1 && fail "$version is still installed"
win reg query "$uninstall\\$(property "$new" ProductCode)" /v DisplayVersion | grep -q "$newer" ||
    fail "$newer is not installed"
cmp -s "$data/velko.toml" "$work/edited.toml" || fail "the upgrade changed the configuration"
up || fail "the service did not run again after the upgrade"
for id in ${synced%% *} ${closed%% *}; do
    curl -s -H "$auth" "$api/jobs/$id" | grep -q '"state": "done"' || fail "job $id is not in the job log"
done
ls "$data/reports/"* >/dev/null 2>&1 || fail "the upgrade lost the reports"
echo "ok: $newer installed over $version: the configuration, the job log and the reports kept, the service running"

stop_service
status=0
win msiexec /x "Z:${new//\//\\}" /qn || status=$?
[ $status -eq 0 ] || fail "msiexec /x: $status"
[ ! -e "$app/bin/velko.exe" ] || fail "velko.exe is still installed"
win reg query "$service" >/dev/null 2>&1 && fail "the service is still registered"
curl -sf "$api/health" >/dev/null && fail "the service still answers"
[ ! -e "$menu/Velko staff page.url" ] || fail "the Start menu entry is still there"
[ -f "$data/velko.db" ] && cmp -s "$data/velko.toml" "$work/edited.toml" &&
    ls "$data/reports/"* >/dev/null 2>&1 || fail "the removal took %ProgramData%\\velko"
echo "ok: removed: the program and the service gone, %ProgramData%\\velko kept"
