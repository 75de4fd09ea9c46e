#!/bin/bash
# The NuGet recipe in the linux build: pack.sh with the wrapper and the Linux library just
# built and stand-ins for the two Windows DLLs (which ./scripts/package brings), once with a
# LICENSE and a CHANGELOG.md in the root and once without. pack.sh checks the listing and the
# manifest itself; this checks the optional files and that the files went in unchanged.
# Usage: pack_test.sh WRAPPER_DIR LINUX_LIBRARY VERSION
set -euo pipefail
wrapper=$1 linux=$2 version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/with" "$work/without"
echo "MIT License (stand-in)" > "$work/with/LICENSE"
echo "# Changes (stand-in)" > "$work/with/CHANGELOG.md"
mkdir "$work/with/dotnet" && echo "# Velko for .NET (stand-in)" > "$work/with/dotnet/README.md"
echo "32-bit stand-in" > "$work/x86.dll"
echo "64-bit stand-in" > "$work/x64.dll"
pack=$(dirname "$0")/pack.sh
for root in with without; do
    package=$work/$root/Velko.$version.nupkg
    "$pack" "$package" "$version" "$work/$root" "$wrapper" "$work/x86.dll" "$work/x64.dll" "$linux"
    unzip -p "$package" runtimes/linux-x64/native/libVELKO_DLL.so | cmp - "$linux"
    unzip -p "$package" lib/netstandard2.0/Velko.dll | cmp - "$wrapper/Velko.dll"
    unzip -p "$package" lib/net45/Velko.dll | cmp - "$wrapper/Velko.dll"
    unzip -p "$package" build/net45/Velko.targets | python3 -c 'import sys, xml.dom.minidom as m; m.parse(sys.stdin)'
    readme=$(unzip -p "$package" Velko.nuspec | grep -c '<readme>README.md</readme>' || true)
    unzip -p "$package" runtimes/win-x64/native/VELKO_DLL.dll | cmp - "$work/x64.dll"
    extras=$(unzip -Z1 "$package" | grep -cxE 'LICENSE|CHANGELOG\.md|README\.md' || true)
    want=$([ $root = with ] && echo 3 || echo 0)
    [ "$extras" = "$want" ] || { echo "$root: $extras of LICENSE, CHANGELOG.md and README.md, not $want" >&2; exit 1; }
    [ "$readme" = "$([ $root = with ] && echo 1 || echo 0)" ] ||
        { echo "$root: the manifest's readme does not match the package" >&2; exit 1; }
    unzip -p "$package" "\[Content_Types\].xml" | grep -q 'Extension="dll"'
done
echo "the NuGet recipe makes a complete package"
