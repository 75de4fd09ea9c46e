#!/bin/bash
# Every message the tool can show has a finished translation in every catalogue: the sources'
# messages are extracted afresh and each po/LANG.po merged against them, so a new or reworded
# message, one left fuzzy by the merge, or a translation whose placeholders do not match its
# message fails, each listed.
#   check_catalogue.sh SOURCE_DIR
set -uo pipefail
root=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$root/po/extract.sh" "$work/velko.pot" || exit 2
fail=0
for po in "$root"/po/*.po; do
    language=$(basename "$po" .po)
    if ! msgfmt --check -o /dev/null "$po" 2>"$work/check"; then
        echo "$language: msgfmt --check fails:"
        cat "$work/check"
        fail=1
    fi
    msgmerge --quiet --no-wrap "$po" "$work/velko.pot" -o "$work/$language.po" || exit 2
    for kind in untranslated only-fuzzy; do
        msgattrib --$kind --no-obsolete --no-wrap "$work/$language.po" -o "$work/$kind.po"
        # The header entry (msgid "") aside, every msgid left is a message without a translation.
        missing=$(grep -c '^msgid "[^"]' "$work/$kind.po" 2>/dev/null)
        [ "${missing:-0}" -gt 0 ] || continue
        echo "$language: ${kind#only-} messages ($missing), to translate in po/$language.po:"
        grep '^msgid "[^"]' "$work/$kind.po" | sed 's/^/  /'
        fail=1
    done
    # Translations the sources no longer use: worth removing, not worth failing for.
    stale=$(msgattrib --only-obsolete "$work/$language.po" | grep -c '^#~ msgid "[^"]')
    [ "${stale:-0}" -eq 0 ] || echo "$language: $stale translation(s) no message uses any more"
done
[ $fail -eq 0 ] && echo "catalogues: every message of the tool is translated"
exit $fail
