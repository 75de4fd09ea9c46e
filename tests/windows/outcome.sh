#!/bin/bash
# The test summary's words for one Windows architecture, from its ctest output (one or more
# runs, summed): how many tests passed and failed, and how many did not run and why.
#   outcome.sh x86|x64 CTEST_OUTPUT...
set -uo pipefail
arch=$1
shift
VELKO_WINEARCH=win64
[ "$arch" = x86 ] && VELKO_WINEARCH=win32
source "$(dirname "$0")/wine.sh"

total=0 failed=0 skipped=0 runs=0
for log in "$@"; do
    [ -f "$log" ] || continue
    t=$(sed -nE 's/.* tests? failed out of ([0-9]+)$/\1/p' "$log" | tail -n 1)
    [ -n "$t" ] || continue
    runs=$((runs + 1))
    total=$((total + t))
    failed=$((failed + $(sed -nE 's/.* ([0-9]+) tests? failed out of [0-9]+$/\1/p' "$log" | tail -n 1)))
    # Counted in the list that closes the run (a test's own output may hold another run's).
    skipped=$((skipped + $(awk '/tests passed, [0-9]+ tests? failed out of/ {n = 0} /\(Skipped\)$/ {n++} END {print n + 0}' "$log")))
done
if [ $runs -eq 0 ]; then
    echo "windows $arch: not run (ctest did not finish)"
    exit 0
fi
words="windows $arch: $((total - failed - skipped)) passed"
[ "$failed" -eq 0 ] || words+=", $failed failed"
if [ "$skipped" -gt 0 ]; then
    why=""
    [ "$arch" = x64 ] || why=$(wine32_unavailable)
    words+=", $skipped not run (${why:-see the output of the skipped tests})"
fi
echo "$words"
