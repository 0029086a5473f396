#!/usr/bin/env bash
# Runs one libFuzzer target for a while on its corpus and reports what it reached.
#
# Usage: fuzz/run-target.sh <target executable> <seconds> <work dir> <corpus dir> [<regression dir>]
#
# New inputs go to <work dir>/corpus, never into the committed corpus; a crash, leak, sanitizer
# report or oracle failure leaves its input in <work dir> (crash-*, leak-*, timeout-*) and fails
# the run. The last line gives the figures: executions, executions per second (and per CPU second
# the target used, which is what it does on an idle machine) and edges.
# Fewer than MIN_EXEC_PER_S executions a second means something really waits (a real pause or
# poll costs 50 ms or more per input), which is a failure too.
set -uo pipefail

MIN_EXEC_PER_S=100

exe=$1 seconds=$2 work=$3 corpus=$4 regressions=${5:-}
name=$(basename "$exe")
mkdir -p "$work/corpus"
dirs=("$work/corpus" "$corpus")
[[ -n $regressions && -d $regressions ]] && dirs+=("$regressions")

log=$work/fuzz.log
TIMEFORMAT='%U %S'
{ time "$exe" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/" "${dirs[@]}" >"$log" 2>&1; } 2>"$work/cpu"
status=$?
read -r user sys <"$work/cpu"

execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
edges=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)

if ((status != 0)); then
    tail -n 60 "$log"
    echo "$name: FAILED (status $status); the input is in $work"
    exit 1
fi
if [[ -z $rate ]] || ((rate < MIN_EXEC_PER_S)); then
    tail -n 20 "$log"
    echo "$name: FAILED: ${rate:-no} executions per second, something waits for real"
    exit 1
fi
# On a shared machine the wall-clock rate is what the fuzzer got; per CPU second is its own speed.
# (0 when the run was too short for any CPU time to be measured.)
per_cpu=$(awk -v n="$execs" -v u="$user" -v s="$sys" \
    'BEGIN { printf "%d", (u + s > 0 ? n / (u + s) : 0) }')
echo "$name: ${seconds} s, ${execs} executions, ${rate}/s, ${per_cpu} per CPU second, ${edges} edges"
