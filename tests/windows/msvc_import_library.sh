#!/bin/bash
# VELKO_DLL.lib as an MSVC project uses it: msvc_host.c compiled by clang in clang-cl mode and
# linked by lld-link against the .lib with no C runtime (on x86 under /SAFESEH, as Visual
# Studio's Win32 projects link) and the host's import table checked against the .def; nothing
# here runs a Windows program, so it checks the 32-bit library on any kernel (the host runs
# under Wine in a test of its own).
#   msvc_import_library.sh x86|x64 BUILD_DIR SOURCE_DIR CLANG LLD_LINK DLLTOOL MINGW_TARGET
# BUILD_DIR holds VELKO_DLL.lib and VELKO_DLL.dll.a, BUILD_DIR/bin the DLL; the host lands beside it.
set -euo pipefail
arch=$1 build=$2 source=$3 clang=$4 lld_link=$5 dlltool=$6 mingw=$7
lib=$build/VELKO_DLL.lib host=$build/bin/velko_msvc_host.exe
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -f "$lib" ] || { echo "no $lib: build the preset first"; exit 1; }

case $arch in
    x86)
        target=i686-pc-windows-msvc machine=X86 seh=/SAFESEH
        # MinGW's libkernel32.a is made of the same flagless objects as VELKO_DLL.dll.a, so
        # /SAFESEH refuses it too: kernel32's three functions get an import library of their own.
        printf 'LIBRARY kernel32.dll\nEXPORTS\nExitProcess@4\nGetStdHandle@4\nWriteFile@20\n' \
            >"$work/kernel32.def"
        "$dlltool" -m i386 -k -d "$work/kernel32.def" -l "$work/kernel32.lib"
        kernel32=$work/kernel32.lib
        ;;
    x64)
        target=x86_64-pc-windows-msvc machine=X64 seh=
        kernel32=/usr/$mingw/lib/libkernel32.a
        ;;
    *) echo "unknown architecture $arch"; exit 2 ;;
esac

"$clang" --driver-mode=cl --target=$target /nologo /c /O2 /GS- /W4 /WX /X \
    -I "$source/include" "/Fo$work/host.obj" -- "$source/tests/windows/msvc_host.c"
link() {
    "$lld_link" /nologo /NODEFAULTLIB /ENTRY:start /SUBSYSTEM:CONSOLE /MACHINE:$machine $seh \
        "/OUT:$1" "$work/host.obj" "$2" "$kernel32"
}
link "$host" "$lib"
echo "ok: linked against VELKO_DLL.lib${seh:+ under $seh}"

if [ "$arch" = x86 ]; then
    # The same link through the MinGW import library must be refused, or the link above proved
    # nothing about /SAFESEH.
    if link "$work/by-dll-a.exe" "$build/VELKO_DLL.dll.a" >"$work/refused" 2>&1; then
        echo "FAILED: lld-link took VELKO_DLL.dll.a under /SAFESEH: the check above is void"
        exit 1
    fi
    grep -q 'not compatible with SEH' "$work/refused" || { cat "$work/refused"; exit 1; }
    echo "ok: VELKO_DLL.dll.a is refused under /SAFESEH, as it is by Visual Studio"
fi

# The host imports every export from VELKO_DLL.dll under the DLL's own name, with its ordinal
# from the .def as the hint.
imports=$("$mingw-objdump" -p "$host" |
    awk '/DLL Name:/ {on = ($3 == "VELKO_DLL.dll"); next}
         on && /^\t[0-9a-f]+\t/ {print $3, $2}' | sort)
want=$(sed -nE 's/^\s+(VELKO[A-Za-z]+)\s+@([0-9]+)\s*$/\1 \2/p' "$source/api/VELKO_DLL.def" | sort)
if [ "$imports" != "$want" ]; then
    echo "FAILED: the host's imports from VELKO_DLL.dll differ from the .def"
    diff <(echo "$want") <(echo "$imports") || true
    exit 1
fi
echo "ok: $(wc -l <<<"$imports") imports from VELKO_DLL.dll, names and hints as in the .def"

# An MSVC project's find_package(velko) gives the MSVC import library, the MinGW one otherwise.
cmake --install "$build" --prefix "$work/tree" >/dev/null
mkdir "$work/consumer"
cat >"$work/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(consumer NONE)
find_package(velko REQUIRED)
get_target_property(implib velko::velko IMPORTED_IMPLIB_RELEASE)
file(WRITE "${CMAKE_BINARY_DIR}/implib" "${implib}")
CMAKE
for msvc in ON OFF; do
    rm -rf "$work/consumer/build"
    cmake -S "$work/consumer" -B "$work/consumer/build" -DMSVC=$msvc \
          -DCMAKE_PREFIX_PATH="$work/tree" >/dev/null
    got=$(basename "$(cat "$work/consumer/build/implib")")
    want=VELKO_DLL.dll.a
    [ $msvc = ON ] && want=VELKO_DLL.lib
    [ "$got" = "$want" ] || { echo "FAILED: with MSVC=$msvc find_package(velko) links $got"; exit 1; }
done
echo "ok: find_package(velko) links VELKO_DLL.lib in an MSVC project, VELKO_DLL.dll.a otherwise"
