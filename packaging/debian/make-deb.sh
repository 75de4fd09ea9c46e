#!/bin/bash
# Makes the Debian package velko_VERSION_ARCH.deb from a Linux build tree:
#   /usr/bin/velko and velko-sim (stripped), the library libvelko.so.VERSION with its SONAME
#   link libvelko.so.1 and the link libvelko.so to build against, /usr/include/velko/velko.h,
#   velko.pc and the CMake package velko,
#   the systemd units velko.service and velko-hq.service, the example configurations
#   /etc/velko/velko.toml and /etc/velko/hq.toml (conffiles), the broker's example
#   configuration and access list, the man pages velko(1), velko-sim(1) and velko-serve(1), and in
#   /usr/share/doc/velko the copyright, the changelog, README.md, SERVICE.md and a sample price
#   list, the tool's translations in /usr/share/locale; the maintainer scripts make the user
#   velko and guard the configuration's secrets.
# Depends is worked out by dpkg-shlibdeps from the binaries themselves, plus adduser for the
# maintainer scripts.
# Usage: make-deb.sh OUTPUT.deb VERSION SOURCE_ROOT BUILD_DIR
set -euo pipefail
[ $# -eq 4 ] || { sed -n 's/^# Usage: //p' "$0" >&2; exit 2; }
recipe=$(cd "$(dirname "$0")" && pwd)
out=$(realpath -m "$1") version=$2 root=$(realpath "$3") build=$(realpath "$4")
fail() { echo "make-deb.sh: $*" >&2; exit 1; }

# The package's version and its changelog's newest entry must agree, or the changelog that
# ships would describe another release.
logged=$(dpkg-parsechangelog -l "$recipe/changelog" -S Version)
[ "$logged" = "$version" ] ||
    fail "packaging/debian/changelog's newest entry is $logged, not $version: add one for $version"
for file in velko velko-sim "libvelko.so.$version"; do
    [ -f "$build/$file" ] || fail "$build/$file is missing: build the linux preset first"
done

arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null)
maintainer=$(sed -n 's/^ -- \(.*>\)  .*/\1/p' "$recipe/changelog" | head -n 1)
umask 022
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pkg=$work/velko
lib=usr/lib/$multiarch
doc=usr/share/doc/velko
mkdir -p "$pkg/DEBIAN" "$pkg/usr/bin" "$pkg/$lib" "$pkg/usr/include/velko" \
         "$pkg/lib/systemd/system" "$pkg/etc/velko" "$pkg/usr/share/man/man1" \
         "$pkg/$doc/examples/mosquitto"

# As dh_strip does: no debugging symbols, no compiler notes.
install -m 755 "$build/velko" "$build/velko-sim" "$pkg/usr/bin/"
strip --remove-section=.comment --remove-section=.note "$pkg/usr/bin/velko" "$pkg/usr/bin/velko-sim"
install -m 644 "$build/libvelko.so.$version" "$pkg/$lib/"
strip --remove-section=.comment --remove-section=.note --strip-unneeded "$pkg/$lib/libvelko.so.$version"
soname=$(objdump -p "$pkg/$lib/libvelko.so.$version" | awk '$1 == "SONAME" { print $2 }')
[ -n "$soname" ] || fail "libvelko.so.$version has no SONAME"
ln -s "libvelko.so.$version" "$pkg/$lib/$soname"
ln -s "$soname" "$pkg/$lib/libvelko.so"
install -m 644 "$root/include/velko/velko.h" "$pkg/usr/include/velko/"
# To build against it: pkg-config velko, and CMake's find_package(velko) (velko::velko; found
# relative to where it lies, so that an unpacked package can be tried too).
mkdir -p "$pkg/$lib/pkgconfig" "$pkg/$lib/cmake/velko"
cat >"$pkg/$lib/pkgconfig/velko.pc" <<PC
prefix=/usr
libdir=\${prefix}/lib/$multiarch
includedir=\${prefix}/include

Name: velko
Description: Article exchange with VELKO retail devices on a serial line
Version: $version
Libs: -L\${libdir} -lvelko
Cflags: -I\${includedir}
PC
cat >"$pkg/$lib/cmake/velko/velkoConfig.cmake" <<'CONFIG'
# find_package(velko): the target velko::velko, the C library with its header.
get_filename_component(_velko_lib "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
get_filename_component(_velko_include "${_velko_lib}/../../include" ABSOLUTE)
if(NOT TARGET velko::velko)
    add_library(velko::velko SHARED IMPORTED)
    set_target_properties(velko::velko PROPERTIES
        IMPORTED_LOCATION "${_velko_lib}/libvelko.so.1" IMPORTED_SONAME "libvelko.so.1"
        INTERFACE_INCLUDE_DIRECTORIES "${_velko_include}")
endif()
unset(_velko_lib)
unset(_velko_include)
CONFIG
install -m 644 "$build/velkoConfigVersion.cmake" "$pkg/$lib/cmake/velko/"

install -m 644 "$recipe/velko.service" "$recipe/velko-hq.service" "$pkg/lib/systemd/system/"
install -m 644 "$recipe/velko.toml" "$recipe/hq.toml" "$pkg/etc/velko/"
install -m 644 "$root/packaging/mosquitto/velko.conf" "$pkg/$doc/examples/mosquitto/"
install -m 755 "$root/packaging/mosquitto/velko-broker" "$pkg/$doc/examples/mosquitto/"
for page in velko velko-sim velko-serve; do
    gzip -9n <"$recipe/$page.1" >"$pkg/usr/share/man/man1/$page.1.gz"
done
install -m 644 "$root/README.md" "$root/docs/SERVICE.md" "$pkg/$doc/"
# Ours, then the third-party code built into the programs, read off the programs themselves.
{
    cat "$recipe/copyright"
    echo
    "$root/packaging/notices.py" copyright "$pkg/usr/bin/velko" "$pkg/usr/bin/velko-sim" \
        "$pkg/$lib/libvelko.so.$version"
} >"$pkg/$doc/copyright"
chmod 644 "$pkg/$doc/copyright"
gzip -9n <"$recipe/changelog" >"$pkg/$doc/changelog.gz"
install -m 644 "$root/samples/articles.csv" "$pkg/$doc/examples/"
# The tool's translations, where it looks for them: ../share/locale beside /usr/bin.
for mo in "$build"/locale/*/LC_MESSAGES/velko.mo; do
    [ -f "$mo" ] || fail "$build/locale has no catalogue: build the linux preset first"
    language=$(basename "$(dirname "$(dirname "$mo")")")
    install -D -m 644 "$mo" "$pkg/usr/share/locale/$language/LC_MESSAGES/velko.mo"
done

install -m 755 "$recipe/postinst" "$recipe/prerm" "$recipe/postrm" "$pkg/DEBIAN/"
printf '/etc/velko/velko.toml\n/etc/velko/hq.toml\n' >"$pkg/DEBIAN/conffiles"
# Programs linked against libvelko.so.1 depend on this package; the loader's cache learns of
# the library on installation.
echo "libvelko ${soname#libvelko.so.} velko (>= $version)" >"$pkg/DEBIAN/shlibs"
echo "activate-noawait ldconfig" >"$pkg/DEBIAN/triggers"

# dpkg-shlibdeps reads the source package's name from debian/control.
mkdir -p "$work/debian"
printf 'Source: velko\n\nPackage: velko\nArchitecture: any\n' >"$work/debian/control"
libraries=$( (cd "$work" && dpkg-shlibdeps -O -S"$pkg" -e"velko/usr/bin/velko" \
                -e"velko/usr/bin/velko-sim" -e"velko/$lib/libvelko.so.$version") 2>"$work/shlibdeps.log" |
            sed -n 's/^shlibs:Depends=//p') ||
    { cat "$work/shlibdeps.log" >&2; fail "dpkg-shlibdeps failed"; }
[ -n "$libraries" ] || { cat "$work/shlibdeps.log" >&2; fail "dpkg-shlibdeps found no libraries"; }
rm -rf "$work/debian"

size=$(du -sk --exclude=DEBIAN "$pkg" | cut -f1)
cat >"$pkg/DEBIAN/control" <<CONTROL
Package: velko
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $size
Depends: adduser, $libraries
Section: utils
Priority: optional
Description: price lists and sales of VELKO retail devices on serial lines
 velko uploads price lists from CSV or JSON files to VELKO point-of-sale
 devices, sends only what changed, checks what a device holds, reads the
 articles with their sales counters, deletes articles and closes the day,
 on one device or several at once, over serial lines or serial device
 servers.
 .
 velko serve offers a shop's devices over HTTP: a REST API, a web page for
 staff, a durable job log and the close of day on a schedule. It runs as
 the systemd service velko.service once /etc/velko/velko.toml is set up.
 .
 Also included: velko-sim, a simulated device on a pseudo-terminal, and the
 C library libvelko.so.1 with its header.
CONTROL
(cd "$pkg" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | LC_ALL=C sort -z |
     xargs -0 md5sum) >"$pkg/DEBIAN/md5sums"
chmod 644 "$pkg/DEBIAN/control" "$pkg/DEBIAN/conffiles" "$pkg/DEBIAN/shlibs" \
          "$pkg/DEBIAN/triggers" "$pkg/DEBIAN/md5sums"

mkdir -p "$(dirname "$out")"
dpkg-deb --build --root-owner-group "$pkg" "$out" >/dev/null
echo "$out"
