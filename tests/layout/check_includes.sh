#!/bin/bash
# The house's one-way layout, read from the code's own includes: each room includes only the
# rooms below it (cli/ on top; serve/ and hq/ beside each other; files/, jobs/, http/ and
# chain/ under both; the library at the bottom), and the platform is chosen by CMake, so
# `#ifdef _WIN32` stands only in the platform files and the export glue.
#   check_includes.sh SOURCE_DIR
set -uo pipefail
cd "${1:-$(dirname "$0")/../..}" || exit 2

# The rooms each room may include, besides itself and the public header (velko/).
declare -A below=(
    [trace]=""
    [link]="trace"
    [device]="link trace"
    [api]="device link trace"
    [files]="device link trace"
    [jobs]="files device link trace"
    [http]=""
    [chain]="http files device link trace"
    [sim]="files device link trace"
    [serve]="jobs chain http sim files device link trace"
    [hq]="jobs chain http files device link trace"
    [cli]="serve hq jobs chain http sim files device link trace"
)
fail=0
for room in "${!below[@]}"; do
    while IFS=: read -r file line include; do
        to=${include#*\"}
        to=${to%%/*}
        [ "$to" = "$room" ] || [ "$to" = velko ] && continue
        [[ " ${below[$room]} " == *" $to "* ]] && continue
        echo "$file:$line: $room/ includes $to/ ($include)"
        fail=1
    done < <(grep -nE '^\s*#\s*include\s+"[a-z_+]+/' -r "$room" --include='*.h' --include='*.cpp' |
             sed -E 's/^([^:]+):([0-9]+):\s*(.*)$/\1:\2:\3/')
done

# Platform choices live in the files CMake picks per platform, and in the export glue.
while IFS=: read -r file line text; do
    case $file in
        *_win32.cpp | *_posix.cpp | *_iconv.cpp | link/platform.h | api/* | cli/host_os.cpp) continue ;;
    esac
    echo "$file:$line: #ifdef _WIN32 outside the platform files ($text)"
    fail=1
done < <(grep -nE '^\s*#\s*(if|ifdef|ifndef|elif).*_WIN32' -r trace link device api files jobs http chain sim serve hq cli \
             --include='*.h' --include='*.cpp')

[ $fail -eq 0 ] && echo "layout: every include runs down; no platform #ifdef outside the platform files"
exit $fail
