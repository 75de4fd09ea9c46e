#!/bin/bash
# The C# of docs/GETTING-STARTED.md as a reader pastes it: the ```csharp blocks, in order, make
# one program, which must build with no warning and, run twice against velko-sim under mono,
# upload and list its articles with their Polish names, the sale rung up on the device still
# counted the second time (the program never zeroes the counters).
# Usage: getting_started_test.sh MCS MONO GETTING-STARTED.md VELKO-SIM DLL-CONFIG
set -euo pipefail
mcs=$1 mono=$2 doc=$3 sim=$4 config=$5
work=$(mktemp -d)
sim_pid=
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; rm -rf "$work"' EXIT

sed -n '/^```csharp$/,/^```$/{/^```/d;p}' "$doc" > "$work/First.cs"
"$mcs" -noconfig -warnaserror+ -codepage:utf8 -nologo -r:System.dll -out:"$work/First.exe" \
       "$work/First.cs"
cp "$config" "$work/First.exe.config"   # the same dllmap, for the program's own imports

echo "0;5900001000017;CHLEB;1;1.00;0;3.500;3.50;" > "$work/table"
mkfifo "$work/sim.out"
"$sim" --table "$work/table" > "$work/sim.out" &
sim_pid=$!
read -r line < "$work/sim.out"
for run in 1 2; do
    LC_ALL=C.UTF-8 "$mono" "$work/First.exe" "$line" | tee "$work/run$run"
    for want in "2 articles uploaded" "05900001000017 CHLEB ŻYTNI 4.50, sold 3.500 for 3.50" \
                "05900001000031 MASŁO EKSTRA 200G 7.99, sold 0.000 for 0.00" \
                "2 articles on the device"; do
        grep -qxF "$want" "$work/run$run" || { echo "run $run: no line '$want'" >&2; exit 1; }
    done
done
echo "the getting-started C# program uploads and downloads, counters kept"
