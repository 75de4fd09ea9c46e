#!/bin/bash
# The getting-started guide's C program, as printed, built as its reader builds it against an
# installed tree (a package's folder, or an unpacked Debian package): with pkg-config, and
# with CMake's find_package(velko); each run against velko-sim with a table holding a
# negative price, which must print as it is.
# Usage: first_c_program.sh GUIDE PKGCONFIG_DIR CMAKE_PREFIX LIBRARY_DIR VELKO_SIM [SYSROOT]
#   (SYSROOT: where an unpacked package's /usr lies, for its absolute .pc)
set -euo pipefail
guide=$1 pcdir=$2 prefix=$3 libdir=$4 sim=$5 sysroot=${6:-}
work=$(mktemp -d)
sim_pid=
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; rm -rf "$work"' EXIT

# The ```c block that is a program.
awk '/^```c$/ { block = ""; inside = 1; next }
     /^```$/ && inside { if (block ~ /int main/) printf "%s", block; inside = 0; next }
     inside { block = block $0 "\n" }' "$guide" >"$work/first.c"
grep -q "int main" "$work/first.c" || { echo "the guide has no C program"; exit 1; }

flags=$(PKG_CONFIG_PATH= PKG_CONFIG_LIBDIR="$pcdir" PKG_CONFIG_SYSROOT_DIR="$sysroot" \
        pkg-config --cflags --libs velko)
cc -std=c11 -Wall -Wextra -Werror "$work/first.c" $flags -o "$work/first-pkgconfig"

mkdir "$work/cmake"
cat >"$work/cmake/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(first C)
find_package(velko REQUIRED)
add_executable(first ../first.c)
target_link_libraries(first PRIVATE velko::velko)
CMAKE
cmake -S "$work/cmake" -B "$work/cmake/build" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >/dev/null
cmake --build "$work/cmake/build" >/dev/null
cp "$work/cmake/build/first" "$work/first-cmake"

printf '0;42;ZWROT;1;-0.50;0;0.000;0.00;\n0;5900001000017;CHLEB;1;4.05;0;0.000;0.00;\n' \
    >"$work/table"
mkfifo "$work/sim.out"
"$sim" --table "$work/table" >"$work/sim.out" &
sim_pid=$!
read -r line <"$work/sim.out"
for how in pkgconfig cmake; do
    LD_LIBRARY_PATH=$libdir "$work/first-$how" "$line" >"$work/out"
    for want in " ZWROT  *-0.50$" " CHLEB  *4.05$" "^2 articles \(library [0-9.]+\)$"; do
        grep -Eq "$want" "$work/out" || { echo "built with $how: no line /$want/:"; cat "$work/out"; exit 1; }
    done
done
cat "$work/out"
echo "the guide's C program builds with pkg-config and CMake and lists the device's articles"
