#!/bin/bash
# Makes the NuGet package Velko.VERSION.nupkg, a zip laid out as NuGet reads it:
#   Velko.nuspec (from Velko.nuspec.in), [Content_Types].xml, _rels/.rels,
#   lib/net45/ and lib/netstandard2.0/ Velko.dll and Velko.xml (the wrapper and its
#   documentation), build/net45/Velko.targets (copies the native DLL for packages.config
#   projects, which get no runtimes/), README.md (dotnet/README.md) when ROOT has it,
#   runtimes/win-x86/native/VELKO_DLL.dll, runtimes/win-x64/native/VELKO_DLL.dll,
#   runtimes/linux-x64/native/libVELKO_DLL.so (the Linux library under the name .NET probes
#   for the wrapper's "VELKO_DLL"), licenses/ with the notices of the third-party code in the
#   native libraries, and LICENSE and CHANGELOG.md when ROOT has them.
# Then checks the package's listing and manifest, and fails when anything is missing.
# Usage: pack.sh OUTPUT.nupkg VERSION ROOT WRAPPER_DIR WIN_X86_DLL WIN_X64_DLL LINUX_LIBRARY
set -euo pipefail
[ $# -eq 7 ] || { sed -n 's/^# Usage: //p' "$0" >&2; exit 2; }
recipe=$(cd "$(dirname "$0")" && pwd)
out=$(realpath -m "$1") version=$2 root=$3 wrapper=$4
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

mkdir -p "$stage/lib/net45" "$stage/lib/netstandard2.0" "$stage/build/net45" "$stage/_rels" \
         "$stage/runtimes/win-x86/native" "$stage/runtimes/win-x64/native" \
         "$stage/runtimes/linux-x64/native"
# The readme shown by NuGet is the wrapper's, when ROOT has it.
readme=$([ -f "$root/dotnet/README.md" ] && echo yes || true)
sed "s/@VERSION@/$version/" "$recipe/Velko.nuspec.in" |
    if [ -n "$readme" ]; then cat; else grep -v '<readme>'; fi > "$stage/Velko.nuspec"
# One assembly, built against .NET Framework 4.5's mscorlib, which .NET Standard 2.0 hosts
# (.NET Core, .NET 5+, mono) load too.
for framework in net45 netstandard2.0; do
    cp "$wrapper/Velko.dll" "$wrapper/Velko.xml" "$stage/lib/$framework/"
done
cp "$recipe/Velko.targets" "$stage/build/net45/"
cp "$5" "$stage/runtimes/win-x86/native/VELKO_DLL.dll"
cp "$6" "$stage/runtimes/win-x64/native/VELKO_DLL.dll"
cp "$7" "$stage/runtimes/linux-x64/native/libVELKO_DLL.so"
# The notices of the third-party code in the native libraries (the MinGW-w64 runtime).
"$recipe/../notices.py" collect "$stage/licenses" "$5" "$6" "$7" >/dev/null
expected=(Velko.nuspec "[Content_Types].xml" _rels/.rels lib/netstandard2.0/Velko.dll
          lib/netstandard2.0/Velko.xml lib/net45/Velko.dll lib/net45/Velko.xml
          build/net45/Velko.targets
          runtimes/win-x86/native/VELKO_DLL.dll runtimes/win-x64/native/VELKO_DLL.dll
          runtimes/linux-x64/native/libVELKO_DLL.so)
for extra in LICENSE CHANGELOG.md; do
    if [ -f "$root/$extra" ]; then
        cp "$root/$extra" "$stage/"
        expected+=("$extra")
    fi
done
if [ -n "$readme" ]; then
    cp "$root/dotnet/README.md" "$stage/README.md"
    expected+=(README.md)
fi

cat > "$stage/_rels/.rels" <<RELS
<?xml version="1.0" encoding="utf-8"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">
  <Relationship Type="http://schemas.microsoft.com/packaging/2010/07/manifest" Target="/Velko.nuspec" Id="R0" />
</Relationships>
RELS
# Open Packaging Conventions: a content type for every extension, and for every file without one.
cd "$stage"
mapfile -t files < <(find . -type f | sed 's|^\./||' | LC_ALL=C sort)
{
    echo '<?xml version="1.0" encoding="utf-8"?>'
    echo '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
    echo '  <Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml" />'
    for f in "${files[@]}"; do
        base=${f##*/}
        case "$base" in
            .rels) ;;
            *.*) echo "  <Default Extension=\"${base##*.}\" ContentType=\"application/octet\" />" ;;
            *) echo "  <Override PartName=\"/$f\" ContentType=\"application/octet\" />" ;;
        esac
    done | LC_ALL=C sort -u
    echo '</Types>'
} > "[Content_Types].xml"
rm -f "$out"
cmake -E tar cf "$out" --format=zip -- "[Content_Types].xml" "${files[@]}"
cd - >/dev/null

listing=$(unzip -Z1 "$out")
for name in "${expected[@]}"; do
    grep -qxF "$name" <<<"$listing" || { echo "pack.sh: $out lacks $name" >&2; exit 1; }
done
if grep -q '/$' <<<"$listing"; then
    echo "pack.sh: $out has directory entries" >&2
    exit 1
fi
manifest=$(unzip -p "$out" Velko.nuspec)
for field in "<id>Velko</id>" "<version>$version</version>" \
             '<license type="expression">MIT</license>'; do
    grep -qF "$field" <<<"$manifest" || { echo "pack.sh: the manifest lacks $field" >&2; exit 1; }
done
unzip -l "$out" | sed "s|^|  |"
