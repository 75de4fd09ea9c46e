#!/bin/bash
# Extracts the velko tool's messages into a template: _() translates now, N_() marks a
# template worded later, ngettext() has a singular and a plural.
#   po/extract.sh OUTPUT.pot   (from anywhere)
set -euo pipefail
out=$(realpath -m "$1")
cd "$(dirname "$0")/.."
mkdir -p "$(dirname "$out")"
version=$(sed -n 's/^#define VELKO_VERSION_STRING "\(.*\)"/\1/p' include/velko/velko.h)
bugs=$(sed -n 's/^ -- .*<\(.*\)>  .*/\1/p' packaging/debian/changelog | head -n 1)
files=$(ls cli/*.cpp jobs/*.cpp files/*.cpp | LC_ALL=C sort)
# shellcheck disable=SC2086
xgettext --language=C++ --from-code=UTF-8 --keyword=_ --keyword=N_ --keyword=ngettext:1,2 \
    --add-comments=TRANSLATORS: --package-name=velko --package-version="$version" \
    --msgid-bugs-address="$bugs" --sort-by-file --output="$out.new" $files
# The creation date alone would make every build's template new.
sed -i '/^"POT-Creation-Date:/d' "$out.new"
mv "$out.new" "$out"
