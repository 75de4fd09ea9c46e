#!/bin/bash
# Installs the package as people do, offline, into a throwaway venv of Debian's python3, with
# the built library in the package's lib/ as ./scripts/package lays it out; then runs
# installed_package.py against it from outside the repository, without VELKO_LIBRARY.
# Usage: check_install.sh LIBRARY (the built libvelko.so.1); VELKO_SIM names the simulator.
set -euo pipefail
library=$1
repo=$(cd "$(dirname "$0")/../.." && pwd)
# Debian's interpreter, whose setuptools and wheel (python3-setuptools, python3-wheel) the build
# uses: no index is reachable.
python=${VELKO_PYTHON:-/usr/bin/python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A package's layout: python/ beside include/, the library in python/velko/lib/.
mkdir -p "$work/package/include/velko"
cp "$repo/include/velko/velko.h" "$work/package/include/velko/"
cp -r "$repo/python" "$work/package/python"
rm -rf "$work/package/python/build" "$work/package/python/"*.egg-info
find "$work/package/python" -name __pycache__ -prune -exec rm -rf {} +
mkdir -p "$work/package/python/velko/lib"
cp -L "$library" "$work/package/python/velko/lib/libvelko.so.1"

"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --no-build-isolation --no-index --no-cache-dir \
    --disable-pip-version-check "$work/package/python"
rm -rf "$work/package"  # the installed package has to stand on its own

cd "$work"
env -u VELKO_LIBRARY -u PYTHONPATH -u LD_LIBRARY_PATH VELKO_REPOSITORY="$repo" \
    "$work/venv/bin/python" "$repo/python/tests/installed_package.py"
