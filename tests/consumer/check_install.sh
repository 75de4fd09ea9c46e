#!/bin/bash
# Installs the build into a scratch prefix and builds a host program against it twice: with
# find_package(velko) and with pkg-config. Both must build, link and run.
set -euo pipefail
build=$1 consumer=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
test -x "$prefix/bin/velko" && test -x "$prefix/bin/velko-sim"
readelf -d "$prefix/lib/libvelko.so" | grep -q 'SONAME.*libvelko.so.1'

cmake -S "$consumer" -B "$prefix/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/consumer" >/dev/null
LD_LIBRARY_PATH=$prefix/lib "$prefix/consumer/consumer"

flags=$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --cflags --libs velko)
# shellcheck disable=SC2086
cc -o "$prefix/by-pkg-config" "$consumer/main.c" $flags
LD_LIBRARY_PATH=$prefix/lib "$prefix/by-pkg-config"
echo "installed package: find_package and pkg-config both build a working host"
