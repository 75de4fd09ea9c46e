#!/bin/bash
# valgrind memcheck over the four jobs end to end: velko against velko-sim on a
# pseudo-terminal. Fails on any memcheck error or leak; prints the error count.
set -euo pipefail
tool=$1 sim=$2 samples=$3
work=$(mktemp -d)
trap 'kill $simpid 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
"$sim" --zero-delay 0 >"$work/path" 2>/dev/null </dev/null &
simpid=$!
for _ in $(seq 100); do [ -s "$work/path" ] && break; sleep 0.05; done
line=$(cat "$work/path")
errors=0
for job in "upload $samples/articles.csv" "download -o $work/t.csv" \
           "delete 5900001000017 5900001000024" "zero-counters"; do
    # shellcheck disable=SC2086
    if ! valgrind --quiet --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect,possible \
            --errors-for-leak-kinds=definite,indirect,possible --log-file="$work/vg" \
            "$tool" --quiet --line "$line" $job; then
        cat "$work/vg"
        errors=$((errors + 1))
    fi
    echo "memcheck: velko $job: $(grep -c '^==' "$work/vg" || true) report lines"
done
echo "memcheck errors: $errors"
[ "$errors" -eq 0 ]
