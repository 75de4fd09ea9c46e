#!/bin/bash
# Lays out one package's folder as a host developer gets it, from a build tree: what
# `cmake --install` puts (header, library or DLL with its import libraries and .def, velko and
# velko-sim, CMake and pkg-config files), the getting-started page, LICENSE and CHANGELOG at
# its top, licenses/ with the notices of the third-party code in its programs, the Python
# package in python/ with the library inside and as a wheel, the Delphi and Free Pascal unit in
# pascal/, and the C# wrapper in dotnet/ (with Velko.dll.config for mono on Linux).
# Usage: layout.sh PRESET DIR VERSION   (PRESET: linux, windows-x86 or windows-x64; run from
#        the source root, with build/PRESET and build/linux/dotnet built)
set -euo pipefail
preset=$1 dir=$2 version=$3
cmake --install "build/$preset" --prefix "$dir" --strip >/dev/null
cp docs/GETTING-STARTED.md LICENSE CHANGELOG.md "$dir/"
binaries=()
while IFS= read -r -d '' file; do binaries+=("$file"); done < <(
    find "$dir/bin" "$dir/lib" -maxdepth 1 -type f \( -name '*.exe' -o -name '*.dll' -o \
        -name 'velko' -o -name 'velko-sim' -o -name 'libvelko.so.*' \) -print0)
packaging/notices.py collect "$dir/licenses" "${binaries[@]}" >/dev/null

# The Python package, carrying this package's library, its version and the notices of what the
# library holds.
py=$dir/python
mkdir -p "$py" && cp -r python/velko python/pyproject.toml python/setup.py python/README.md "$py/"
cp LICENSE "$py/"
find "$py" -name __pycache__ -prune -exec rm -rf {} +
echo "version = \"$version\"" >"$py/velko/_version.py"
case $preset in
    windows-x86) platform=win32 lib=$py/velko/lib/x86 && mkdir -p "$lib" && cp "$dir/bin/VELKO_DLL.dll" "$lib/" ;;
    windows-x64) platform=win_amd64 lib=$py/velko/lib/x64 && mkdir -p "$lib" && cp "$dir/bin/VELKO_DLL.dll" "$lib/" ;;
    linux) platform=linux_x86_64 lib=$py/velko/lib && mkdir -p "$lib" && cp -L "$dir/lib/libvelko.so.1" "$lib/" ;;
esac
packaging/notices.py collect "$py/licenses" "$lib"/* >/dev/null
# ... and as a wheel, which pip installs offline into any Python 3 of the platform.
python/build_wheel.sh "$py" "$platform" "$py" >/dev/null

mkdir -p "$dir/pascal" && cp pascal/VelkoDll.pas pascal/README.md "$dir/pascal/"
mkdir -p "$dir/dotnet"
cp build/linux/dotnet/Velko.dll build/linux/dotnet/Velko.xml dotnet/Velko.cs dotnet/README.md \
   "$dir/dotnet/"
if [ "$preset" = linux ]; then cp dotnet/Velko.dll.config "$dir/dotnet/"; fi
