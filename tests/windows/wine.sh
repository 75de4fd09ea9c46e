# Sourced by the Windows tests: Wine for VELKO_WINEARCH (win32, the default, or win64), and
# whether 32-bit Windows programs can run on this machine at all.
#
# Debian's `wine` wrapper takes the 32-bit loader whenever wine32 is installed, even for a
# 64-bit prefix, and that loader cannot start on a kernel that runs no 32-bit programs: each
# architecture is given its own loader by name. (Debian's wineserver serves both.)
# shellcheck shell=bash
wine_arch=${VELKO_WINEARCH:-win32}
wine_loader=/usr/lib/wine/wine
[ "$wine_arch" = win64 ] && wine_loader=/usr/lib/wine/wine64
export WINEARCH=$wine_arch WINELOADER=$wine_loader WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# `wine` and `wineboot` run that loader as the process itself, so that a test that starts a
# Windows program in the background and later kills it kills the program.
PATH="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/wine-bin:$PATH"

# Prints why 32-bit Windows programs cannot run here, or nothing (status 0) when they can.
# The kernel is asked with the smallest static i386 program there is (an ELF header, one
# program header and `exit(0)` through int 0x80), so the answer does not depend on what is
# installed; VELKO_I386_PROBE names another program to ask instead (the tests point it at one
# that fails).
wine32_unavailable() {
    local probe=${VELKO_I386_PROBE:-} made=""
    if [ -z "$probe" ]; then
        made=$(mktemp) probe=$made
        printf '%b' '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
            '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00' \
            '\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00' \
            '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00' \
            '\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' \
            >"$probe"
        chmod +x "$probe"
    fi
    local runs=0
    "$probe" >/dev/null 2>&1 || runs=$?
    [ -z "$made" ] || rm -f "$made"
    if [ $runs -ne 0 ]; then
        echo "this kernel runs no 32-bit programs"
        return 1
    fi
    if [ ! -x /usr/lib/wine/wine ]; then
        echo "32-bit Wine (wine32:i386) is not installed"
        return 1
    fi
}

# Ends a test as skipped (ctest's SKIP_RETURN_CODE) where its architecture cannot run here.
skip_unless_wine_runs() {
    local why
    [ "$wine_arch" = win32 ] || return 0
    why=$(wine32_unavailable) && return 0
    echo "not run: $why"
    exit 77
}

# Each Windows test runs in a copy of its architecture's prefix, made afresh, with a Wine server
# and COM ports of its own: the tests run side by side and none sees another's line or state.
# The registry names the prefix's own files (COM1 among them), so the copy's is made to name
# the copy's. Sets WINEPREFIX.
own_prefix() {
    local template=$1 own=$1.tests/$2
    [ -f "$template/.velko-ready" ] || { echo "no Wine prefix at $template: run the wine_prefix test"; exit 1; }
    [ -d "$own" ] && WINEPREFIX=$own release_wineserver
    rm -rf "$own"
    mkdir -p "${own%/*}"
    cp -a "$template" "$own"
    sed -i "s|$template/|$own/|g" "$own"/*.reg
    export WINEPREFIX=$own
}

# Wine's server outlives its last program by a few seconds and then exits; a program started in
# that moment dies with "recvmsg: Connection reset by peer". A test that starts programs one
# after another keeps one server for its whole run, and ends it on its way out. (Each test has
# a prefix of its own, so a server still running there is one an earlier run left behind.)
hold_wineserver() {
    release_wineserver
    wineserver -p </dev/null >/dev/null 2>&1
}
release_wineserver() {
    wineserver -k </dev/null >/dev/null 2>&1 || true
    wineserver -w </dev/null >/dev/null 2>&1 || true
}

# Waits for job $1 of velko serve at $api (asked with the header $auth) to end; prints its
# state and detail.
job_state() {
    local body
    for _ in $(seq 150); do
        body=$(curl -s -H "$auth" "$api/jobs/$1")
        python3 -c 'import json,sys; j=json.loads(sys.argv[1]); sys.exit(j["state"] in ("queued","running"))' "$body" &&
            { python3 -c 'import json,sys; j=json.loads(sys.argv[1]); print(j["state"], j["outcome"]["detail"])' "$body"; return; }
        sleep 0.2
    done
    echo "never ended: $body"
}
