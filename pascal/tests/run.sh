#!/bin/bash
# Runs the Pascal test program against a simulated device: starts velko-sim, hands the program
# the terminal it serves, stops the simulator whatever the outcome.
# run.sh PROGRAM VELKO_SIM LIBRARY_DIR VERSION
set -euo pipefail
program=$1 sim=$2 libdir=$3 version=$4

coproc SIM { exec "$sim" --zero-delay 0; }
sim_pid=$SIM_PID
trap 'kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null || true' EXIT
read -r line <&"${SIM[0]}" || { echo "velko-sim named no terminal" >&2; exit 1; }

LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" "$program" "$line" "$version"
