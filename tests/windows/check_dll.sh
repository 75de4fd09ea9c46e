#!/bin/bash
# The DLL's export table (undecorated names at fixed ordinals), imports (Windows system DLLs
# only: the C and C++ runtimes are inside) and version resource; nothing is run.
#   check_dll.sh DLL [MINGW_TARGET] [PE_FORMAT] [VERSION]
set -euo pipefail
dll=$1 target=${2:-i686-w64-mingw32} format=${3:-pei-i386} version=${4:-}
dump=$($target-objdump -p "$dll")
fail=0

grep -q "file format $format\$" <<<"$($target-objdump -f "$dll")" || { echo "not a $format DLL"; fail=1; }
grep -q "Name.*VELKO_DLL.dll" <<<"$dump" || { echo "export table does not name VELKO_DLL.dll"; fail=1; }

# Name table lines read "[ i] NAME", i being the ordinal less the ordinal base.
base=$(sed -nE 's/^Ordinal Base\s+([0-9]+).*/\1/p' <<<"$dump")
got=$(awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next}
           on && /^[ \t]*\[/ {gsub(/[][]/, " "); print $NF, $1; next}
           on && !/^[ \t]*\[/ {on=0}' <<<"$dump" |
      awk -v b="$base" '{print $1, $2 + b}' | sort)
want=$(sort <<<"VELKODeleteArticles 1
VELKOReceiveArticles 2
VELKOSendArticles 3
VELKOZeroPLUCounters 4
VELKOLineOpen 5
VELKOLineClose 6
VELKOLineSetTrace 7
VELKOLineSendArticles 8
VELKOLineReceiveArticles 9
VELKOLineDeleteArticles 10
VELKOLineZeroPLUCounters 11
VELKOResultMessage 12
VELKOLineFailure 13
VELKOCheckArticle 14
VELKOVersion 15
VELKOLineCancel 16
VELKOLineDeleteArticlesEx 17")
if [ "$got" != "$want" ]; then
    echo "exports differ"; echo "got:"; echo "$got"; echo "want:"; echo "$want"; fail=1
else
    echo "exports: $(tr '\n' ' ' <<<"$got")"
fi

imports=$(sed -nE 's/^\s*DLL Name: (.*)$/\1/p' <<<"$dump" | tr 'A-Z' 'a-z' | sort -u)
for name in $imports; do
    case $name in
        kernel32.dll|user32.dll|advapi32.dll|msvcrt.dll|version.dll|ntdll.dll|ws2_32.dll) ;;
        *) echo "imports a DLL that Windows does not ship: $name"; fail=1 ;;
    esac
done
echo "imports: $(echo $imports)"

# The version resource, read from the file rather than through Windows, so it is checked where
# no Windows program can run: filed under Polish (LANG_POLISH 0x15, SUBLANG_DEFAULT 1), where a
# host that asks for the Polish resource looks, with the header's version, the project's one.
resources=$($target-windres -i "$dll" -O rc)
languages=$(sed -nE 's/^LANGUAGE (.*)$/\1/p' <<<"$resources" | sort -u)
[ "$languages" = "21, 1" ] || { echo "resources filed under: $languages (want 21, 1)"; fail=1; }
if [ -n "$version" ]; then
    v="${version//./, }, 0"
    for line in "FILEVERSION $v" "PRODUCTVERSION $v" 'BLOCK "041504b0"' \
                'VALUE "Translation", 0x415, 1200' "VALUE \"FileVersion\", \"$v\"" \
                "VALUE \"ProductVersion\", \"$v\"" 'VALUE "OriginalFilename", "VELKO_DL.dll"'; do
        grep -qxF "$line" <<<"$(sed -E 's/^\s+//' <<<"$resources")" ||
            { echo "the version resource lacks: $line"; fail=1; }
    done
    [ $fail -ne 0 ] || echo "version resource: $version.0, Polish, code page 1200"
fi
exit $fail
