#!/bin/bash
# The tool speaks Polish when LANG asks for it, whether or not the system has generated the
# pl_PL.UTF-8 locale, and English otherwise: the demo's faulty price list, a good one uploaded
# to velko-sim, a line that does not answer and a wrong device number, in both languages.
#   polish_output.sh VELKO VELKO_SIM SAMPLES_DIR
set -uo pipefail
tool=$1 sim=$2 samples=$3
work=$(mktemp -d)
pid=
trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
"$sim" --zero-delay 0 >"$work/path" 2>/dev/null </dev/null &
pid=$!
for _ in $(seq 100); do [ -s "$work/path" ] && break; sleep 0.05; done
line=$(cat "$work/path")
[ -n "$line" ] || { echo "velko-sim did not start"; exit 2; }

fail=0
# Runs the tool under the environment given before "--", its standard error into $work/out.
speak() {
    local -a environment=()
    while [ "$1" != -- ]; do environment+=("$1"); shift; done
    shift
    env -u LANGUAGE -u LC_ALL -u LC_MESSAGES -u LANG "${environment[@]}" "$tool" "$@" \
        >/dev/null 2>"$work/out"
}
has() {
    grep -qF -- "$1" "$work/out" && return
    echo "$what: no \"$1\" in:"; sed 's/^/  | /' "$work/out"; fail=1
}
lacks() {
    grep -qF -- "$1" "$work/out" || return
    echo "$what: still \"$1\" in:"; sed 's/^/  | /' "$work/out"; fail=1
}

for polish in LANG=pl_PL.UTF-8 LC_ALL=pl_PL.UTF-8 LC_MESSAGES=pl_PL.UTF-8 \
              "LANGUAGE=pl LANG=C.UTF-8"; do
    # shellcheck disable=SC2086
    what="$polish, the faulty list" speak $polish -- --line "$line" upload "$samples/refused.csv"
    what="$polish, the faulty list"
    has "velko: 13 błędów; nic nie zostało wysłane"
    has "refused.csv: wiersz 4, kolumna kod: „0000000000000” składa się z samych zer"
    has "wiersz 7, kolumna nazwa: zawiera „;”, który kasa odczytuje jako koniec pola"
    has "kasa nie potrafi wyświetlić znaku U+00DF „ß”"
    for english in "nothing was sent" "fault" "row " "column " "cannot be shown" " is not " \
                   "would come back" "holds ';'" "all zeros" "characters"; do
        lacks "$english"
    done
done

what="Polish, an upload" speak LANG=pl_PL.UTF-8 -- --line "$line" upload "$samples/articles.csv"
what="Polish, an upload"
has "wysłano 22 artykuły"
lacks "uploaded"
what="Polish, a line that does not answer"
speak LANG=pl_PL.UTF-8 -- --line tcp://127.0.0.1:1 zero-counters
has "velko: kasa na linii tcp://127.0.0.1:1 nie odpowiada: sprawdź, czy jest włączona i podłączona (VELKO_ERR_OPEN: "
what="Polish, a device number out of range"
speak LANG=pl_PL.UTF-8 -- --line "$line@123" download
has "numer kasy musi mieścić się w zakresie od 0 do 99: sprawdź numer kasy (VELKO_ERR_ADDRESS)"
lacks "the device number"

for english in LANG=C LANG=en_US.UTF-8 ""; do
    # shellcheck disable=SC2086
    what="${english:-no LANG}, the faulty list" speak $english -- --line "$line" upload "$samples/refused.csv"
    what="${english:-no LANG}, the faulty list"
    has "velko: 13 faults; nothing was sent"
    has "refused.csv: row 4, column code: '0000000000000' is all zeros"
    has "row 7, column name: holds ';', which the device reads as the end of a field"
    lacks "błęd"
    lacks "wiersz"
done
what="LANG=C, an upload" speak LANG=C -- --line "$line" upload "$samples/articles.csv"
what="LANG=C, an upload"
has "22 articles uploaded"

[ $fail -eq 0 ] && echo "the tool speaks Polish when asked, English otherwise"
exit $fail
