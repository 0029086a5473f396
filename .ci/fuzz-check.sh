#!/usr/bin/env bash
# Fuzzing in CI: builds the fuzz preset (clang, libFuzzer, ASan + UBSan) and runs every target
# for FUZZ_SECONDS (default 25) on its corpus, two at a time. Fails on any crash, leak,
# sanitizer report or oracle failure (the input is kept under build/fuzz/fuzz/work/<target>/),
# and when a target runs so slowly that something must be waiting for real. Prints each
# target's executions, executions per second and edges.
#
# Usage: .ci/fuzz-check.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=.ci/lib.sh
source .ci/lib.sh
seconds=${1:-25}
step "fuzz targets: $seconds s each under libFuzzer, ASan and UBSan"

# libFuzzer's runtime comes with Debian's clang runtime package.
install_missing clang libclang-rt-14-dev

cmake --preset fuzz -DFUZZ_SECONDS="$seconds" >/dev/null
cmake --build --preset fuzz
rm -rf build/fuzz/fuzz/work
status=0
ctest --preset fuzz || status=$?
grep -h 'executions' build/fuzz/Testing/Temporary/LastTest.log | sed 's/^/  /' || true
exit "$status"
