#!/bin/bash
# Runs every fuzzer for a bounded time from its seed corpus (tests/fuzz/corpus/NAME), which
# also holds every crash input ever found. New inputs go to a scratch copy, not the repository.
# Prints one line per fuzzer and a total: executions and crashes.
set -uo pipefail
bin=$1 seconds=${2:-12}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
total=0 crashes=0
for fuzzer in fuzz_frames fuzz_replies fuzz_codes_and_names fuzz_article_files fuzz_serve_requests \
    fuzz_untrusted_json; do
    mkdir -p "$work/$fuzzer"
    if [ ! -x "$bin/$fuzzer" ]; then
        echo "fuzz: $bin/$fuzzer is missing: build the fuzz preset first"
        exit 1
    fi
    status=0
    "$bin/$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -timeout=5 \
        -artifact_prefix="$work/$fuzzer-" "$work/$fuzzer" "$here/corpus/$fuzzer" \
        >"$work/$fuzzer.log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$fuzzer.log" | tail -n 1)
    found=$(find "$work" -maxdepth 1 -name "$fuzzer-*" | wc -l)
    if [ "$status" -ne 0 ] || [ "$found" -ne 0 ]; then
        tail -n 40 "$work/$fuzzer.log"
        # Kept in the repository's corpus, so that it stays a regression case once mended.
        for f in "$work/$fuzzer"-*; do
            [ -e "$f" ] || continue
            cp "$f" "$here/corpus/$fuzzer/"
            echo "crash input kept as tests/fuzz/corpus/$fuzzer/$(basename "$f" | sed "s/^$fuzzer-//")"
        done
        found=$((found > 0 ? found : 1))
    fi
    echo "fuzz: $fuzzer: ${runs:-0} executions, $found crashes"
    total=$((total + ${runs:-0}))
    crashes=$((crashes + found))
done
echo "fuzz executions: $total, crashes: $crashes"
[ "$crashes" -eq 0 ]
