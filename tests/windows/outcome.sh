#!/bin/bash
# The test summary's words for one Windows architecture, from its ctest output: how many tests
# passed and failed, and how many did not run and why.
#   outcome.sh x86|x64 CTEST_OUTPUT
set -uo pipefail
arch=$1 log=$2
VELKO_WINEARCH=win64
[ "$arch" = x86 ] && VELKO_WINEARCH=win32
source "$(dirname "$0")/wine.sh"

total=$(sed -nE 's/.* tests? failed out of ([0-9]+)$/\1/p' "$log" | tail -n 1)
failed=$(sed -nE 's/.* ([0-9]+) tests? failed out of [0-9]+$/\1/p' "$log" | tail -n 1)
if [ -z "$total" ]; then
    echo "windows $arch: not run (ctest did not finish)"
    exit 0
fi
# Counted in the list that closes the run (a test's own output may hold another run's).
skipped=$(awk '/tests passed, [0-9]+ tests? failed out of/ {n = 0} /\(Skipped\)$/ {n++} END {print n + 0}' "$log")
words="windows $arch: $((total - failed - skipped)) passed"
[ "$failed" -eq 0 ] || words+=", $failed failed"
if [ "$skipped" -gt 0 ]; then
    why=""
    [ "$arch" = x64 ] || why=$(wine32_unavailable)
    words+=", $skipped not run (${why:-see the output of the skipped tests})"
fi
echo "$words"
