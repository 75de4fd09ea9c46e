#!/bin/bash
# Makes the Windows installer velko-VERSION-x64.msi with wixl: under Program Files\Velko,
# bin\ (velko.exe, registered as the service "velko", velko-sim.exe and the 64-bit
# VELKO_DLL.dll), include\, lib\ (the import libraries for MSVC and MinGW, the .def, the CMake
# and pkg-config files), x86\ (the same for 32-bit hosts, with the 32-bit DLL), dotnet\ (the
# C# wrapper), pascal\ (the Delphi and Free Pascal unit), docs\, licenses\ (the notices of the
# third-party code in the binaries), LICENSE and CHANGELOG.md; and the Start menu's entries:
# the staff page and the documentation.
# Usage: make-msi.sh OUTPUT.msi VERSION ROOT X64_BUILD X86_BUILD DOTNET_DIR
#   VERSION is a.b.c (what Windows compares upgrades by); ROOT the source tree; X64_BUILD and
#   X86_BUILD the windows-x64 and windows-x86 build trees; DOTNET_DIR holds Velko.dll and
#   Velko.xml (build/linux/dotnet).
set -euo pipefail
[ $# -eq 6 ] || { sed -n 's/^# Usage: //p' "$0" >&2; exit 2; }
recipe=$(cd "$(dirname "$0")" && pwd)
out=$(realpath -m "$1") version=$2 root=$3 x64=$4 x86=$5 dotnet=$6
command -v wixl >/dev/null ||
    { echo "make-msi: wixl is missing: run ./scripts/setup windows (Debian's wixl and msitools)" >&2; exit 1; }
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] ||
    { echo "make-msi: version '$version' is not a.b.c" >&2; exit 1; }
for need in "$x64/velko.exe" "$x86/bin/VELKO_DLL.dll" "$dotnet/Velko.dll"; do
    [ -f "$need" ] || { echo "make-msi: $need is missing: build it first (./scripts/build)" >&2; exit 1; }
done
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

cmake --install "$x64" --prefix "$stage/app" --strip >/dev/null
cmake --install "$x86" --prefix "$stage/x86" --strip >/dev/null
app=$stage/app
# The 32-bit tree is the SDK alone: the tools are the 64-bit ones.
rm -rf "$stage/x86/bin/"*.exe "$stage/x86/share" && mv "$stage/x86" "$app/x86"
mkdir -p "$app/docs" && mv "$app/share/doc/velko/"* "$app/docs/" && rm -rf "$app/share/doc"
rmdir "$app/share" 2>/dev/null || true
cp "$root/docs/SERVICE.md" "$app/docs/"
cp "$root/LICENSE" "$root/CHANGELOG.md" "$app/"
mkdir -p "$app/pascal" "$app/dotnet"
cp "$root/pascal/VelkoDll.pas" "$root/pascal/README.md" "$app/pascal/"
cp "$dotnet/Velko.dll" "$dotnet/Velko.xml" "$root/dotnet/Velko.cs" "$root/dotnet/README.md" \
   "$app/dotnet/"
binaries=()
while IFS= read -r -d '' file; do binaries+=("$file"); done < <(
    find "$app" -type f \( -name '*.exe' -o -name '*.dll' \) ! -path '*/dotnet/*' -print0)
"$root/packaging/notices.py" collect "$app/licenses" "${binaries[@]}" >/dev/null
# The staff page at the address the example configuration listens on.
mkdir -p "$app/menu"
printf '[InternetShortcut]\r\nURL=http://127.0.0.1:8640/\r\n' >"$app/menu/staff-page.url"

"$recipe/files.py" "$app" >"$stage/files.wxs"
mkdir -p "$(dirname "$out")"
# wixl finds the files by their paths from the folder it runs in.
(cd "$app" && wixl --arch x64 -D Version="$version" -o "$out" "$recipe/velko.wxs" "$stage/files.wxs")
