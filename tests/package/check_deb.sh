#!/bin/bash
# The Debian package as an administrator gets it: every file in its place, the control fields
# (Depends naming the package of every library the programs load), lintian, the maintainer
# scripts' syntax, the unit as systemd reads it; then, unpacked into a scratch directory and
# never installed, the programs run, the guide's C program builds (pkg-config, CMake) and runs
# against the header and the library alone, every option the programs' --help names is in their man pages, and
# `velko serve` takes the example configuration once its token is replaced, refuses it as
# shipped, and answers on its health and device endpoints.
# Usage: check_deb.sh DEB           check velko_VERSION_ARCH.deb
#        check_deb.sh --from DIR    make the package from the Linux build tree DIR, then check it
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
server=""
trap '[ -z "$server" ] || kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
failures=0
fail() { echo "check_deb: $*" >&2; failures=$((failures + 1)); }

case "${1:-}" in
    --from)
        [ $# -eq 2 ] || { sed -n 's/^# Usage: //p; s/^#        //p' "$0" >&2; exit 2; }
        version=$(sed -nE 's/^#define VELKO_VERSION_STRING "([0-9.]+)"$/\1/p' \
                  "$root/include/velko/velko.h")
        deb=$work/velko_${version}_$(dpkg --print-architecture).deb
        "$root/packaging/debian/make-deb.sh" "$deb" "$version" "$root" "$2" >/dev/null || exit 1
        ;;
    "" | -*) sed -n 's/^# Usage: //p; s/^#        //p' "$0" >&2; exit 2 ;;
    *) deb=$1 ;;
esac
[[ $(basename "$deb") =~ ^velko_([0-9]+\.[0-9]+\.[0-9]+)_([a-z0-9]+)\.deb$ ]] ||
    { echo "check_deb: $deb is not named velko_VERSION_ARCH.deb" >&2; exit 1; }
version=${BASH_REMATCH[1]} arch=${BASH_REMATCH[2]}
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null)

# --- The files, and what the control archive says about them.
listing=$(dpkg-deb --contents "$deb" | awk '{ print $6 }' | sed 's|^\.||')
for file in /usr/bin/velko /usr/bin/velko-sim \
            "/usr/lib/$multiarch/libvelko.so.$version" "/usr/lib/$multiarch/libvelko.so.1" \
            "/usr/lib/$multiarch/libvelko.so" /usr/include/velko/velko.h \
            "/usr/lib/$multiarch/pkgconfig/velko.pc" \
            "/usr/lib/$multiarch/cmake/velko/velkoConfig.cmake" \
            /lib/systemd/system/velko.service /etc/velko/velko.toml \
            /lib/systemd/system/velko-hq.service /etc/velko/hq.toml \
            /usr/share/doc/velko/examples/mosquitto/velko-broker \
            /usr/share/man/man1/velko.1.gz /usr/share/man/man1/velko-sim.1.gz \
            /usr/share/man/man1/velko-serve.1.gz /usr/share/doc/velko/copyright \
            /usr/share/doc/velko/changelog.gz /usr/share/doc/velko/README.md \
            /usr/share/doc/velko/SERVICE.md /usr/share/locale/pl/LC_MESSAGES/velko.mo; do
    grep -qxF "$file" <<<"$listing" || fail "the package lacks $file"
done
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = velko ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', the file says $version"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
depends=$(field Depends)
depends_names=$(tr ',|' '\n\n' <<<"$depends" | sed -E 's/^ *([^ (]+).*/\1/')
grep -qx adduser <<<"$depends_names" || fail "Depends lacks adduser, which postinst runs"
control=$work/control
dpkg-deb --control "$deb" "$control"
[ "$(cat "$control/conffiles" 2>/dev/null)" = "$(printf '/etc/velko/velko.toml\n/etc/velko/hq.toml')" ] ||
    fail "conffiles is not velko.toml and hq.toml, so an upgrade would overwrite the tokens"
for script in postinst prerm postrm; do
    [ -x "$control/$script" ] || { fail "no executable $script"; continue; }
    sh -n "$control/$script" || fail "$script is not valid sh"
done

# --- lintian. The tags accepted, each for its reason:
accepted=(
    # One package holds the tool, the service and the library; libvelko1 and libvelko-dev of
    # their own are not worth it while the library's users are this project's hosts.
    package-name-doesnt-match-sonames
    # For the same reason libvelko.so, to link a host with -lvelko, is in this package too.
    link-to-shared-library-in-wrong-package
)
if command -v lintian >/dev/null; then
    lintian --fail-on error,warning --suppress-tags "$(IFS=,; echo "${accepted[*]}")" "$deb" \
        2> >(grep -v 'running with root privileges' >&2) || fail "lintian"
else
    fail "lintian is not installed (./scripts/setup installs it)"
fi

# --- Unpacked, not installed.
x=$work/root
dpkg-deb --extract "$deb" "$x"

# Every library the programs link to comes from a package Depends names (the libraries'
# own dependencies are those packages' business).
owner() {
    local path=$1 candidate
    for candidate in "$path" "/usr$path" "${path#/usr}" "$(realpath "$path")"; do
        dpkg-query --search "$candidate" 2>/dev/null | head -n 1 | cut -d: -f1 && return
    done
}
for program in "$x/usr/bin/velko" "$x/usr/bin/velko-sim" "$x/usr/lib/$multiarch/libvelko.so.$version"; do
    while read -r library path; do
        [ "$path" != "not" ] || { fail "$(basename "$program") needs $library, found nowhere"; continue; }
        package=$(owner "$path")
        [ -n "$package" ] || { fail "no package owns $path, which $(basename "$program") loads"; continue; }
        grep -qx "$package" <<<"$depends_names" ||
            fail "$(basename "$program") loads $library from $package, which Depends lacks ($depends)"
    done < <(ldd "$program" | awk '$2 == "=>" { print $1, $3 }' | grep -v '^libvelko\.so' |
             grep -Ff <(objdump -p "$program" | awk '$1 == "NEEDED" { print $2 " " }'))
done

"$x/usr/bin/velko-sim" --help >"$work/sim.help" || fail "velko-sim --help failed"
"$x/usr/bin/velko" --help >"$work/velko.help" || fail "velko --help failed"
# The packaged tool finds its catalogue from where it lies, also without the locale generated.
polish=$(env -u LC_ALL -u LC_MESSAGES -u LANGUAGE LANG=pl_PL.UTF-8 "$x/usr/bin/velko" \
         --line x@123 download 2>&1 || true)
grep -q "numer kasy" <<<"$polish" || fail "velko does not speak Polish under LANG=pl_PL.UTF-8: $polish"
"$x/usr/bin/velko" serve --help >"$work/serve.help" || fail "velko serve --help failed"

# The man pages against the programs' own help: every option named there is in the page.
page_text() { zcat "$x/usr/share/man/man1/$1.1.gz" | sed 's/\\-/-/g; s/\\f[BIRP]//g'; }
options_of() { grep -oE -- '(^|[ ,])--[a-z][a-z0-9-]*' "$1" | sed 's/^[ ,]*//' | sort -u; }
check_page() {
    local page=$1 help=$2 program=$3 text option
    text=$(page_text "$page")
    for option in $(options_of "$help"); do
        [ "$option" = --help ] && continue
        grep -qF -- "$option" <<<"$text" || fail "$page.1 lacks $option of $program"
    done
}
check_page velko "$work/velko.help" velko
check_page velko-sim "$work/sim.help" velko-sim
check_page velko-serve "$work/serve.help" "velko serve"
velko_page=$(page_text velko)
for command in $(sed -n '/^Subcommands:/,/^$/p' "$work/velko.help" | awk 'NR > 1 && NF { print $1 }'); do
    [ "$command" = serve ] && continue
    "$x/usr/bin/velko" "$command" --help >"$work/$command.help" || fail "velko $command --help failed"
    check_page velko "$work/$command.help" "velko $command"
    grep -qE "^\.(B|BI|BR) \"?$command( |\"|$)" <<<"$velko_page" ||
        fail "velko.1 does not describe the command $command"
done

# The notices of the third-party code in the programs, in the copyright file.
"$root/packaging/notices.py" check-copyright "$x/usr/share/doc/velko/copyright" "$x/usr/bin/velko" \
    "$x/usr/bin/velko-sim" "$x/usr/lib/$multiarch/libvelko.so.$version" ||
    fail "the copyright file lacks a notice the programs need"

# The guide's C program built against the package's header and library and nothing else,
# with its pkg-config file and with its CMake package.
"$here/first_c_program.sh" "$root/docs/GETTING-STARTED.md" "$x/usr/lib/$multiarch/pkgconfig" \
    "$x/usr" "$x/usr/lib/$multiarch" "$x/usr/bin/velko-sim" "$x" >"$work/first.log" 2>&1 ||
    fail "the guide's C program against the package: $(cat "$work/first.log")"
grep -qF "(library $version)" "$work/first.log" ||
    fail "the guide's C program does not see library $version: $(cat "$work/first.log")"

# The unit as systemd reads it; the program it starts is the unpacked one.
mkdir -p "$work/unit"
for unit in velko.service velko-hq.service; do
    sed "s|/usr/bin/velko |$x/usr/bin/velko |" "$x/lib/systemd/system/$unit" >"$work/unit/$unit"
    verdict=$(systemd-analyze verify --man=no "$work/unit/$unit" 2>&1) && [ -z "$verdict" ] ||
        fail "systemd-analyze verify $unit: $verdict"
done

# The example configuration. As shipped its token is a placeholder that must not let anyone
# in: the service refuses to start on it.
shipped=$x/etc/velko/velko.toml
secret_line=$(grep -n '^secret' "$shipped" | cut -d: -f1)
timeout 20 "$x/usr/bin/velko" serve --config "$shipped" --listen 127.0.0.1:0 --data "$work/refused" \
    >"$work/refused.out" 2>"$work/refused.err"
status=$?
if [ $status -eq 0 ] || [ $status -eq 124 ] || grep -q 'listening on' "$work/refused.out"; then
    fail "velko serve started on the example configuration's placeholder token (status $status)"
elif ! grep -qw "$secret_line" "$work/refused.err"; then
    fail "velko serve refused the placeholder token without naming line $secret_line: $(cat "$work/refused.err")"
fi
# With a real secret it starts, though its device is not attached, and answers.
token=a-secret-for-the-package-test
sed "s/^secret = .*/secret = \"$token\"/" "$shipped" >"$work/velko.toml"
"$x/usr/bin/velko" serve --config "$work/velko.toml" --listen 127.0.0.1:0 --data "$work/data" \
    >"$work/serve.out" 2>"$work/serve.err" &
server=$!
url=""
for _ in $(seq 100); do
    url=$(sed -n 's|^velko serve: listening on \(http://[^ ]*/\)$|\1|p' "$work/serve.out")
    [ -n "$url" ] || ! kill -0 "$server" 2>/dev/null && break
    sleep 0.1
done
if [ -z "$url" ]; then
    kill "$server" 2>/dev/null
    wait "$server" 2>/dev/null
    server=""
    fail "velko serve did not start on the example configuration: $(cat "$work/serve.err")"
else
    health=$(curl -fsS "${url}api/health") || fail "GET /api/health failed"
    grep -qE "\"version\": *\"$version\"" <<<"$health" || fail "/api/health does not say $version: $health"
    devices=$(curl -fsS -H "Authorization: Bearer $token" "${url}api/devices") ||
        fail "GET /api/devices with the configured token failed"
    grep -qE '"name": *"till-1"' <<<"$devices" || fail "/api/devices lacks the configured till-1: $devices"
    [ "$(curl -s -o /dev/null -w '%{http_code}' "${url}api/devices")" = 401 ] ||
        fail "/api/devices answers without a token"
    kill -TERM "$server"
    wait "$server" || fail "velko serve ended with status $? on SIGTERM"
    server=""
    [ -f "$work/data/velko.db" ] || fail "velko serve kept no velko.db in its data directory"
fi

# Head office's example likewise: its placeholder token keeps it from starting.
timeout 20 "$x/usr/bin/velko" hq --config "$x/etc/velko/hq.toml" >/dev/null 2>"$work/hq.err"
[ $? -eq 2 ] && grep -q secret "$work/hq.err" ||
    fail "velko hq did not refuse the example's placeholder token: $(cat "$work/hq.err")"

if [ $failures -gt 0 ]; then
    echo "check_deb: $deb: $failures failure(s)" >&2
    exit 1
fi
echo "check_deb: $deb: files, control fields, lintian, programs, man pages, library, unit and configuration as they should be"
