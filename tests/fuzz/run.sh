#!/bin/bash
# Runs every fuzzer for a bounded time from its seed corpus (tests/fuzz/corpus/NAME), which
# also holds every crash input ever found. New inputs go to a scratch copy, not the repository.
# Fuzzers run VELKO_FUZZ_JOBS at a time (2: one a core). Prints one line per fuzzer and a total:
# executions and crashes.
set -uo pipefail
bin=$1 seconds=${2:-12}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fuzzers=(fuzz_frames fuzz_replies fuzz_codes_and_names fuzz_article_files fuzz_serve_requests
         fuzz_untrusted_json fuzz_hq_intake)
for fuzzer in "${fuzzers[@]}"; do
    if [ ! -x "$bin/$fuzzer" ]; then
        echo "fuzz: $bin/$fuzzer is missing: build the fuzz preset first"
        exit 1
    fi
done

# One fuzzer; its line ("RUNS CRASHES") into $work/FUZZER.result, its report beside it.
fuzz_one() {
    local fuzzer=$1 status=0 runs found
    mkdir -p "$work/$fuzzer"
    "$bin/$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -timeout=5 \
        -artifact_prefix="$work/$fuzzer-" "$work/$fuzzer" "$here/corpus/$fuzzer" \
        >"$work/$fuzzer.log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$fuzzer.log" | tail -n 1)
    found=$(find "$work" -maxdepth 1 -name "$fuzzer-*" | wc -l)
    if [ "$status" -ne 0 ] || [ "$found" -ne 0 ]; then
        tail -n 40 "$work/$fuzzer.log" >"$work/$fuzzer.report"
        # Kept in the repository's corpus, so that it stays a regression case once mended.
        for f in "$work/$fuzzer"-*; do
            [ -e "$f" ] || continue
            cp "$f" "$here/corpus/$fuzzer/"
            echo "crash input kept as tests/fuzz/corpus/$fuzzer/$(basename "$f" | sed "s/^$fuzzer-//")" \
                >>"$work/$fuzzer.report"
        done
        found=$((found > 0 ? found : 1))
    fi
    echo "${runs:-0} $found" >"$work/$fuzzer.result"
}
running=0
for fuzzer in "${fuzzers[@]}"; do
    if [ $running -ge "${VELKO_FUZZ_JOBS:-2}" ]; then
        wait -n
        running=$((running - 1))
    fi
    fuzz_one "$fuzzer" &
    running=$((running + 1))
done
wait

total=0 crashes=0
for fuzzer in "${fuzzers[@]}"; do
    read -r runs found <"$work/$fuzzer.result" || { runs=0 found=1; }
    [ ! -f "$work/$fuzzer.report" ] || cat "$work/$fuzzer.report"
    echo "fuzz: $fuzzer: $runs executions, $found crashes"
    total=$((total + runs))
    crashes=$((crashes + found))
done
echo "fuzz executions: $total, crashes: $crashes"
[ "$crashes" -eq 0 ]
