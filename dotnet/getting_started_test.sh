#!/bin/bash
# The C# of the docs as a reader pastes it, built with mcs and run under mono against velko-sim:
# - docs/GETTING-STARTED.md's ```csharp blocks, in order, make one P/Invoke program, which must
#   build with no warning and, run twice with the ```xml block as its .exe.config, upload and
#   list its articles with their Polish names, the sale rung up on the device still counted
#   the second time (the program never zeroes the counters);
# - its ```cs block and dotnet/README.md's ```csharp block, whole programs over Velko.dll.
# (As C# 5, which Visual Studio 2012 and every later compiler take.)
# Usage: getting_started_test.sh MCS MONO GETTING-STARTED.md VELKO-SIM WRAPPER-DIR README.md
#   (WRAPPER-DIR holds Velko.dll and Velko.dll.config)
set -euo pipefail
mcs=$1 mono=$2 doc=$3 sim=$4 wrapper=$5 readme=$6
work=$(mktemp -d)
sim_pid=
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; rm -rf "$work"' EXIT
block() {  # the blocks of FILE fenced as LANGUAGE, in order
    sed -n "/^\`\`\`$2\$/,/^\`\`\`\$/{/^\`\`\`/d;p}" "$1"
}
build() {  # NAME [mcs options]: $work/NAME.cs into $work/NAME.exe
    local name=$1
    shift
    "$mcs" -noconfig -warnaserror+ -codepage:utf8 -nologo -r:System.dll "$@" \
           -out:"$work/$name.exe" "$work/$name.cs"
}

block "$doc" csharp >"$work/First.cs"
build First -langversion:5
block "$doc" xml >"$work/First.exe.config"
block "$doc" cs >"$work/Example.cs"
block "$readme" csharp >"$work/Program.cs"
cp "$wrapper/Velko.dll" "$wrapper/Velko.dll.config" "$work/"
build Example -langversion:5 -r:"$work/Velko.dll"
build Program -langversion:5 -r:"$work/Velko.dll"

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

LC_ALL=C.UTF-8 "$mono" "$work/Example.exe" "$line" | tee "$work/example"
grep -q "^5900001000017 CHLEB ŻYTNI 4[.,]50 3[.,]5" "$work/example" ||
    { echo "the wrapper's first example did not list its article" >&2; exit 1; }
LC_ALL=C.UTF-8 "$mono" "$work/Program.exe" "$line" | tee "$work/program"
grep -q "^5900001000031 MASŁO EKSTRA 200G 7[.,]99" "$work/program" ||
    { echo "dotnet/README.md's example did not list its article" >&2; exit 1; }
echo "the wrapper's examples build with mcs and run under mono"
