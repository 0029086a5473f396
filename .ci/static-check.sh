#!/usr/bin/env bash
# Static checks:
#   1. clang-format --dry-run -Werror on every C++ source in the repository;
#   2. clang-tidy (checks in .clang-tidy) on the product sources, with the compile commands of a
#      build directory;
#   3. cppcheck on the product sources;
#   4. shellcheck on the shipped update policy, the Mender update module and the scripts of tools/ and .ci/.
# Runs all four and fails if any of them found something.
#
# Usage: .ci/static-check.sh [build-dir]    (default: build/static, configured if needed)
set -uo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=.ci/lib.sh
source "$src/.ci/lib.sh"
build=${1:-$src/build/static}
product_dirs=(link xmodem discovery run filetransfer pairvault radioflash)
status=0

need=(clang-format clang-tidy cppcheck shellcheck cmake g++)
install_missing "${need[@]}" || exit 1

cd "$src" || exit 1

echo "=== clang-format"
mapfile -t all_sources < <(find . \( -path ./build -o -path './build-*' -o -path ./.git \) -prune \
    -o -type f \( -name '*.cpp' -o -name '*.h' \) -print | LC_ALL=C sort)
if clang-format --dry-run -Werror "${all_sources[@]}"; then
    echo "clang-format: ${#all_sources[@]} files formatted"
else
    echo "clang-format: files above need clang-format -i"
    status=1
fi

echo "=== clang-tidy"
if [[ ! -f $build/compile_commands.json ]]; then
    cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
        >/dev/null || exit 1
fi
mapfile -t product_sources < <(find "${product_dirs[@]}" -type f -name '*.cpp' | LC_ALL=C sort)
# Headers are checked through the sources that include them (HeaderFilterRegex).
tidy_log=$(mktemp)
printf '%s\n' "${product_sources[@]}" |
    xargs -P 2 -n 1 clang-tidy -p "$build" --quiet >"$tidy_log" 2>&1
tidy_status=$?
grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter|^Error while processing' "$tidy_log"
rm -f "$tidy_log"
if ((tidy_status != 0)); then
    echo "clang-tidy: findings above"
    status=1
else
    echo "clang-tidy: ${#product_sources[@]} files clean"
fi

echo "=== cppcheck"
if cppcheck --quiet --std=c++20 --language=c++ -I "$src" \
    --enable=warning,performance,portability --error-exitcode=1 --inline-suppr \
    --suppress=missingIncludeSystem -j 2 "${product_dirs[@]}"; then
    echo "cppcheck: clean"
else
    echo "cppcheck: findings above"
    status=1
fi

echo "=== shellcheck"
scripts=(packaging/mender/zigbee-module-firmware packaging/update/zigbee-module-update packaging/debian/postinst packaging/debian/postrm tools/sandbox tools/demo.sh .ci/run .ci/*.sh tests/kernel/rig.sh tests/kernel/guest.sh tests/kernel/rows tests/mender/power-cut.sh)
if shellcheck "${scripts[@]}"; then
    echo "shellcheck: ${#scripts[@]} scripts clean"
else
    echo "shellcheck: findings above"
    status=1
fi

exit $status
