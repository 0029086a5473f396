#!/bin/sh
# Prints the figures of the last run of the fault-injection suite in a build directory, one
# line per scenario group, then the totals:
#   ctest --test-dir build/release -L faults -j8 && tests/faults/figures.sh build/release
dir=${1:-build/release}/tests/faults/figures
if [ ! -d "$dir" ]; then
    echo "figures.sh: no figures in $dir (run ctest --preset release -L faults first)" >&2
    exit 1
fi
cat "$dir"/* | awk '
    { print
      for (i = 3; i <= NF; i++) {
          split($i, kv, "=")
          if (kv[1] != "slowest") total[kv[1]] += kv[2]
      } }
    END { printf "TOTAL runs=%d faults=%d successes=%d failures=%d silent=%d hangs=%d\n",
                 total["runs"], total["faults"], total["successes"], total["failures"],
                 total["silent"], total["hangs"] }'
# The signal matrix: one line per point and signal.
if [ -d "$dir/../signals" ]; then
    sort "$dir/../signals"/*
fi
