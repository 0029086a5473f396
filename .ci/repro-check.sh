#!/usr/bin/env bash
# Reproducibility: rebuilds the Debian package and the static cross programs from the checked-out
# commit in another directory, with another time zone, locale and host name, and compares them
# byte for byte with the builds already made in this tree (by .ci/package-check.sh and
# .ci/cross-check.sh). On a difference it names the file that differs, and shows how when
# diffoscope is installed.
#
# Usage: .ci/repro-check.sh [package-build-dir [cross-preset...]]
#        (default: build/package armhf-static; the builds to compare against must exist)
#
# Both builds need umask 022: cpack takes the modes of the package's directories and archive
# members from it.
set -euo pipefail

# The rebuild gets a host name of its own in a new UTS namespace, where that is permitted (root).
if [[ -z ${ZB_REPRO_UTS:-} ]] && unshare --uts true 2>/dev/null; then
    ZB_REPRO_UTS=1 exec unshare --uts bash "$0" "$@"
fi

src=$(cd "$(dirname "$0")/.." && pwd)
pkg_build=$(realpath -m "${1:-$src/build/package}")
shift || true
presets=("$@")
((${#presets[@]})) || presets=(armhf-static)
pkg=zigbee-module-tools
progs=(pairvault radioflash)

fail() {
    printf 'repro-check: FAIL: %s\n' "$*" >&2
    exit 1
}

# --- what to compare against --------------------------------------------------------------------
ref_deb=$(ls "$pkg_build"/${pkg}_*.deb 2>/dev/null) ||
    fail "no package in $pkg_build; run .ci/package-check.sh $pkg_build first"
[[ $(wc -l <<<"$ref_deb") -eq 1 ]] || fail "more than one package in $pkg_build"
for preset in "${presets[@]}"; do
    for prog in "${progs[@]}"; do
        [[ -f $src/build/$preset/$prog/$prog ]] ||
            fail "no $prog in build/$preset; run .ci/cross-check.sh $preset first"
    done
done
# The rebuild is made from the commit, so the first build must have been made from it too.
if ! git -C "$src" diff --quiet HEAD --; then
    fail "the work tree has uncommitted changes; the rebuild would be made without them"
fi

# --- the second build --------------------------------------------------------------------------
tmp=$(mktemp -d /tmp/zmt-repro.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
other=$tmp/elsewhere/zigbee-module-tools
git clone -q --shared --no-checkout "$src" "$other"
git -C "$other" checkout -q --detach "$(git -C "$src" rev-parse HEAD)"

umask 022
rebuild_env=(TZ=Pacific/Kiritimati LC_ALL=C.UTF-8 LANG=C.UTF-8)
hostname_note="host name changed"
if [[ -n ${ZB_REPRO_UTS:-} ]]; then
    hostname repro-rebuild
else
    hostname_note="host name unchanged: unshare --uts not permitted"
fi
echo "=== rebuild in $other (time zone, locale, $hostname_note)"
start=$SECONDS
(
    export "${rebuild_env[@]}"
    cd "$other"
    cmake --preset package -DBUILD_TESTING=OFF >/dev/null
    cmake --build --preset package --target "${progs[@]}" debian_files >/dev/null
    cd build/package
    cpack -G DEB >/dev/null
)
for preset in "${presets[@]}"; do
    (
        export "${rebuild_env[@]}"
        cd "$other"
        cmake --preset "$preset" -DBUILD_TESTING=OFF >/dev/null
        cmake --build --preset "$preset" --target "${progs[@]}" >/dev/null
    )
done
echo "rebuild took $((SECONDS - start)) s"

# --- compare -----------------------------------------------------------------------------------
# Says where two files differ: the differing members of a package, or the ELF section of the
# first differing byte; diffoscope's report when it is installed.
explain() {
    local a=$1 b=$2
    if command -v diffoscope >/dev/null; then
        diffoscope --text - "$a" "$b" | head -n 200 || true
        return
    fi
    case $a in
    *.deb)
        diff <(ar tv "$a") <(ar tv "$b") || true
        diff <(dpkg-deb --ctrl-tarfile "$a" | tar -tv --full-time) \
            <(dpkg-deb --ctrl-tarfile "$b" | tar -tv --full-time) || true
        diff <(dpkg-deb --fsys-tarfile "$a" | tar -tv --full-time) \
            <(dpkg-deb --fsys-tarfile "$b" | tar -tv --full-time) || true
        mkdir -p "$tmp/a" "$tmp/b"
        dpkg-deb -R "$a" "$tmp/a"
        dpkg-deb -R "$b" "$tmp/b"
        diff -rq "$tmp/a" "$tmp/b" || true
        ;;
    *)
        local offset
        offset=$(cmp "$a" "$b" | sed -n 's/.* byte \([0-9]*\),.*/\1/p') || true
        [[ -n $offset ]] || return 0
        # The section holding the first differing byte; readelf -SW lists
        # "[Nr] Name Type Address Off Size ...".
        local name off size
        while read -r name _ _ off size _; do
            [[ $off =~ ^[0-9a-f]+$ && $size =~ ^[0-9a-f]+$ ]] || continue
            if ((offset - 1 >= 16#$off && offset - 1 < 16#$off + 16#$size)); then
                echo "  first difference at byte $offset, in section $name"
            fi
        done < <(readelf -SW "$a" 2>/dev/null | sed -n 's/^ *\[ *[0-9]*\] *//p')
        ;;
    esac
}

status=0
compare() {
    local what=$1 a=$2 b=$3
    if cmp -s "$a" "$b"; then
        printf 'identical: %s  %s\n' "$(sha256sum <"$a" | cut -d' ' -f1)" "$what"
    else
        printf 'DIFFERS:   %s\n  %s\n  %s\n' "$what" "$a" "$b"
        explain "$a" "$b"
        status=1
    fi
}

echo "=== compare"
compare "$(basename "$ref_deb")" "$ref_deb" "$other/build/package/$(basename "$ref_deb")"
for preset in "${presets[@]}"; do
    for prog in "${progs[@]}"; do
        compare "$preset $prog" "$src/build/$preset/$prog/$prog" "$other/build/$preset/$prog/$prog"
    done
done
((status == 0)) || fail "the rebuild differs from the first build"
echo "=== repro-check: OK"
