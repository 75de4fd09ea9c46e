#!/bin/bash
# Builds the wheel of a Python package folder laid out as ./scripts/package lays it out (the
# library in velko/lib/, velko/_version.py written), for PLATFORM (linux_x86_64, win_amd64,
# win32), into OUT; prints the wheel's path. The folder is left as it was: the build works in
# a copy. Debian's python3 with python3-setuptools and python3-wheel builds it, offline.
#   build_wheel.sh FOLDER PLATFORM OUT
set -euo pipefail
folder=$1 platform=$2 out=$(cd "$3" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$folder" "$work/python"
find "$work/python" \( -name build -o -name '*.egg-info' -o -name __pycache__ -o -name '*.whl' \) \
    -prune -exec rm -rf {} +
(cd "$work/python" &&
    /usr/bin/python3 setup.py -q bdist_wheel --plat-name "$platform" --dist-dir "$work/dist" \
        >/dev/null 2>&1) || { echo "build_wheel: the wheel could not be built" >&2; exit 1; }
wheel=$(ls "$work"/dist/*.whl)
cp "$wheel" "$out/"
echo "$out/$(basename "$wheel")"
