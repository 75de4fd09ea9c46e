#!/bin/bash
# Installs the package as people do, offline: the wheel made from a package's python/ folder
# (the built library in its lib/, as ./scripts/package lays it out) with plain
# `pip install FILE.whl`, into a fresh venv of Debian's python3 and of every other Python 3
# on PATH (pyenv's, say), none with the system's site packages; then runs installed_package.py
# against each from outside the repository, without VELKO_LIBRARY.
# Usage: check_install.sh LIBRARY (the built libvelko.so.1); VELKO_SIM names the simulator.
set -euo pipefail
library=$1
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A package's layout: python/ with LICENSE and its version, the library in python/velko/lib/.
version=$(sed -nE 's/^#define VELKO_VERSION_STRING "([0-9.]+)"$/\1/p' "$repo/include/velko/velko.h")
mkdir -p "$work/package/python"
cp -r "$repo/python/velko" "$repo/python/setup.py" "$repo/python/pyproject.toml" \
    "$repo/python/README.md" "$repo/LICENSE" "$work/package/python/"
find "$work/package/python" -name __pycache__ -prune -exec rm -rf {} +
echo "version = \"$version\"" >"$work/package/python/velko/_version.py"
mkdir -p "$work/package/python/velko/lib"
cp -L "$library" "$work/package/python/velko/lib/libvelko.so.1"
chmod -R a-w "$work/package"  # the wheel is built from a copy: the folder may be read-only
wheel=$("$repo/python/build_wheel.sh" "$work/package/python" linux_x86_64 "$work")
[ "$(basename "$wheel")" = "velko-$version-py3-none-linux_x86_64.whl" ] ||
    { echo "the wheel is named $(basename "$wheel")"; exit 1; }
listing=$(python3 -m zipfile -l "$wheel")  # whole: grep -q would close the pipe on it
grep -q "velko-$version.dist-info/LICENSE" <<<"$listing" ||
    { echo "the wheel carries no LICENSE"; exit 1; }
chmod -R u+w "$work/package" && rm -rf "$work/package"

# Each Python 3 here once: Debian's, and any other the PATH finds first.
pythons=(/usr/bin/python3)
other=$(command -v python3 || true)
if [ -n "$other" ] && [ "$(readlink -f "$(cd / && "$other" -c 'import sys; print(sys.executable)')")" != \
        "$(readlink -f /usr/bin/python3)" ]; then
    pythons+=("$(cd / && "$other" -c 'import sys; print(sys.executable)')")
fi
for python in "${pythons[@]}"; do
    venv=$work/venv-$(basename "$(dirname "$(dirname "$python")")")
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet --no-index --no-cache-dir \
        --disable-pip-version-check "$wheel"
    (cd "$work" && env -u VELKO_LIBRARY -u PYTHONPATH -u LD_LIBRARY_PATH VELKO_REPOSITORY="$repo" \
        "$venv/bin/python" "$repo/python/tests/installed_package.py")
    echo "installed and used with $("$venv/bin/python" --version) ($python)"
done
