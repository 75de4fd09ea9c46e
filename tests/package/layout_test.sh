#!/bin/bash
# Each package's folder as packaging/layout.sh lays it out from the build trees there are:
# every third-party component built into a program or library has its notice beside it (the
# package's licenses/, the Python package's licenses/ and its wheel), and the wheel is named for
# its platform. Says which packages it could not lay out (a build tree missing).
# Usage: layout_test.sh SOURCE_ROOT VERSION
set -euo pipefail
root=$1 version=$2
cd "$root"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
checked=() missing=()
for preset in linux windows-x86 windows-x64; do
    if [ ! -f "build/$preset/CMakeCache.txt" ]; then
        missing+=("$preset")
        continue
    fi
    dir=$work/$preset
    packaging/layout.sh "$preset" "$dir" "$version"
    mapfile -t binaries < <(find "$dir/bin" "$dir/lib" -maxdepth 1 -type f \
        \( -name '*.exe' -o -name '*.dll' -o -name velko -o -name velko-sim -o -name 'libvelko.so.*' \))
    packaging/notices.py check "$dir/licenses" "${binaries[@]}"
    mapfile -t libraries < <(find "$dir/python/velko/lib" -type f)
    packaging/notices.py check "$dir/python/licenses" "${libraries[@]}"
    wheel=$(ls "$dir"/python/*.whl)
    case $preset in
        linux) tag=linux_x86_64 ;; windows-x86) tag=win32 ;; windows-x64) tag=win_amd64 ;;
    esac
    [ "$(basename "$wheel")" = "velko-$version-py3-none-$tag.whl" ] ||
        { echo "$preset: the wheel is $(basename "$wheel")"; exit 1; }
    unzip -q "$wheel" -d "$work/$preset-wheel"
    packaging/notices.py check "$work/$preset-wheel/velko-$version.dist-info" \
        $(find "$work/$preset-wheel/velko/lib" -type f)
    echo "$preset: $(ls "$dir/licenses" | tr '\n' ' ')"
    checked+=("$preset")
done
echo "notices checked in: ${checked[*]}${missing:+; not laid out (no build tree): ${missing[*]}}"
