#!/usr/bin/env bash
# Cross-builds the static hub binaries with Debian's cross compilers, runs the tests that need no
# helper process (labels other than cli, interop and sim) under qemu-user, and prints the sizes
# of the stripped programs.
#
# Usage: .ci/cross-check.sh [preset...]      (default: armhf-static; also: arm64-static)
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=.ci/lib.sh
source "$src/.ci/lib.sh"
presets=("$@")
((${#presets[@]})) || presets=(armhf-static)

declare -A triplet=([armhf-static]=arm-linux-gnueabihf [arm64-static]=aarch64-linux-gnu)
need=(cmake make file googletest qemu-user)
for p in "${presets[@]}"; do
    [[ -n ${triplet[$p]:-} ]] || {
        echo "cross-check: unknown preset $p" >&2
        exit 2
    }
    need+=("g++-${triplet[$p]}")
done

install_missing "${need[@]}"

cd "$src"
for preset in "${presets[@]}"; do
    echo "=== $preset: configure"
    cmake --preset "$preset"
    echo "=== $preset: build"
    cmake --build --preset "$preset"
    echo "=== $preset: tests under qemu"
    ctest --preset "$preset"

    build=$src/build/$preset
    echo "=== $preset: shipped programs under qemu"
    emulator=$(sed -n 's/^ZB_CROSS_QEMU_EXECUTABLE:[A-Z]*=//p' "$build/CMakeCache.txt")
    for prog in pairvault radioflash; do
        rc=0
        out=$("$emulator" "$build/$prog/$prog" -bogus) || rc=$?
        if [[ $rc -ne 255 || $(head -n1 <<<"$out") != "ERROR: argument error" ]]; then
            echo "cross-check: $prog -bogus under $emulator: exit $rc, output:" >&2
            echo "$out" >&2
            exit 1
        fi
        echo "$prog -bogus: exit 255, ERROR: argument error"
    done

    echo "=== $preset: stripped sizes"
    tmp=$(mktemp -d)
    for prog in pairvault radioflash; do
        "${triplet[$preset]}-strip" -o "$tmp/$prog" "$build/$prog/$prog"
        file -b "$tmp/$prog" | grep -q 'statically linked' || {
            echo "cross-check: $prog is not statically linked" >&2
            exit 1
        }
        printf '%-12s %8d bytes stripped (%s)\n' "$prog" "$(stat -c %s "$tmp/$prog")" \
            "$(file -b "$tmp/$prog" | cut -d, -f1-2)"
    done
    rm -rf "$tmp"
done
echo "=== cross-check: OK"
