#!/usr/bin/env bash
# Builds the Debian package and checks it the way a hub image build would use it:
#   - a DESTDIR install stages exactly the shipped files, all under DESTDIR;
#   - lintian finds no errors;
#   - dpkg installs it, the installed programs run, man finds the pages, swupdate's Lua finds the
#     handler, and the boot-time recovery unit is enabled where swupdate is installed;
#   - dpkg removes it again and the programs are gone;
#   - hardening-check finds every protection of the hardened build in the packaged programs.
#
# Usage: .ci/package-check.sh [build-dir]     (default: build/package)
# Installs the package on this machine (as root), then removes and purges it.
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=.ci/lib.sh
source "$src/.ci/lib.sh"
build=${1:-$src/build/package}
pkg=zigbee-module-tools

fail() {
    printf 'package-check: FAIL: %s\n' "$*" >&2
    exit 1
}

# --- tools -------------------------------------------------------------------------------------
need=(cmake g++ make dpkg-dev lintian man-db file groff mandoc logrotate fakeroot devscripts openssl)
install_missing "${need[@]}"

# cpack takes the modes of the package's directories and archive members from the umask; 022
# keeps the package the same as anyone else's (.ci/repro-check.sh rebuilds it elsewhere).
umask 022

# --- build -------------------------------------------------------------------------------------
step "configure and build in $build"
# A fresh build directory is configured without tests (the package needs none); an existing one
# keeps its own choice.
testing=()
[[ -f $build/CMakeCache.txt ]] || testing=(-DBUILD_TESTING=OFF)
cmake -S "$src" --preset package -B "$build" "${testing[@]}" >/dev/null
cmake --build "$build" -j2 --target pairvault radioflash debian_files

# --- staged install ----------------------------------------------------------------------------
step "DESTDIR staging"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
stamp="$stage/stamp"
touch "$stamp"
sleep 1
DESTDIR="$stage/root" cmake --install "$build" >/dev/null
# install_manifest.txt lists every installed file by its path without DESTDIR. Each must have
# landed under DESTDIR, and none may have been written to the real root by this install.
while IFS= read -r f; do
    [[ -e $stage/root$f ]] || fail "$f was not staged under DESTDIR"
    if [[ -e $f && $f -nt $stamp ]]; then
        fail "the install wrote $f outside DESTDIR"
    fi
done <"$build/install_manifest.txt"
unit=zigbee-module-update-recover.service
expected="etc/default/$pkg
etc/logrotate.d/$pkg
lib/systemd/system/$unit
usr/sbin/pairvault
usr/sbin/radioflash
usr/sbin/zigbee-module-update
usr/share/lua/5.4/zigbee_module_firmware.lua
usr/share/man/man8/pairvault.8
usr/share/man/man8/radioflash.8
usr/share/man/man8/zigbee-module-update.8
usr/share/mender/modules/v3/zigbee-module-firmware"
actual=$(cd "$stage/root" && find . -type f -o -type l | sed 's#^\./##' | LC_ALL=C sort)
if [[ $actual != "$expected" ]]; then
    diff <(echo "$expected") <(echo "$actual") || true
    fail "a plain install must install exactly the files above (< expected, > installed)"
fi
echo "staged: $(echo "$actual" | tr '\n' ' ')"
# The boot unit runs the policy where the install put it, for this prefix and for another.
for prefix in /usr /opt/zmt; do
    rm -rf "$stage/other"
    DESTDIR="$stage/other" cmake --install "$build" --prefix "$prefix" >/dev/null
    exec_start=$(sed -n 's/^ExecStart=\([^ ]*\) .*/\1/p' "$stage"/other"$prefix"/lib/systemd/system/$unit \
        "$stage"/other/lib/systemd/system/$unit 2>/dev/null || true) # one of the two exists
    [[ -x $stage/other$exec_start && $exec_start == "$prefix/sbin/zigbee-module-update" ]] ||
        fail "with prefix $prefix the boot unit runs '$exec_start', not the installed policy"
done

# --- package -----------------------------------------------------------------------------------
step "cpack -G DEB"
rm -f "$build"/${pkg}_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/${pkg}_*.deb)
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"

contents=$(dpkg-deb --contents "$deb" | awk '{print $NF}')
for f in ./usr/sbin/pairvault ./usr/sbin/radioflash ./etc/logrotate.d/$pkg ./etc/default/$pkg \
    ./usr/share/mender/modules/v3/zigbee-module-firmware ./usr/sbin/zigbee-module-update \
    ./usr/share/lua/5.4/zigbee_module_firmware.lua ./lib/systemd/system/$unit \
    ./usr/share/man/man8/pairvault.8.gz ./usr/share/man/man8/radioflash.8.gz \
    ./usr/share/man/man8/zigbee-module-update.8.gz \
    ./usr/share/doc/$pkg/copyright ./usr/share/doc/$pkg/changelog.Debian.gz; do
    grep -qxF "$f" <<<"$contents" || fail "$f missing from the package"
done
[[ $(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles) == "/etc/default/$pkg
/etc/logrotate.d/$pkg" ]] || fail "the settings and the logrotate rule are not both conffiles"
[[ $(dpkg-deb -f "$deb" Suggests) == "mender-client, swupdate" ]] ||
    fail "the package does not suggest mender-client and swupdate"
for f in usr/share/mender/modules/v3/zigbee-module-firmware usr/sbin/zigbee-module-update; do
    [[ -x $stage/root/$f ]] || fail "$f is not executable"
done
unpacked="$stage/unpacked"
dpkg-deb -x "$deb" "$unpacked"
for b in pairvault radioflash; do
    file "$unpacked/usr/sbin/$b" | grep -q ', stripped' || fail "$b is not stripped"
done

step "hardening-check"
hc_out=$(hardening-check "$unpacked/usr/sbin/pairvault" "$unpacked/usr/sbin/radioflash" 2>&1) || true
echo "$hc_out"
# Two lines cannot say yes here, whatever the flags: hardening-check recognises stack-clash
# protection only as the probing loop of a variable or many-page stack frame (these programs have
# none; their one frame over a page gets a single unrolled probe), and control-flow protection
# only when the linker marked the program CET-ready, which it does only if every linked object
# is marked, and Debian 12's C start files (Scrt1.o, crti.o, crtn.o) are not. For those two the
# flags of every compilation unit are checked in the debug information of the unstripped
# programs instead.
while IFS= read -r line; do
    case $line in
    'Stack clash protection') flag=-fstack-clash-protection ;;
    'Control flow integrity') flag=-fcf-protection ;;
    *) fail "hardening-check: $line is missing" ;;
    esac
    for b in pairvault radioflash; do
        producers=$(readelf --debug-dump=info "$build/$b/$b" | grep 'DW_AT_producer.*GNU C++') ||
            fail "$b: no debug information to check $flag in"
        unflagged=$(grep -c -v -e " $flag" <<<"$producers") || true
        ((unflagged == 0)) || fail "$b: $unflagged compilation units built without $flag"
        echo "$line: $b: every compilation unit built with $flag"
    done
done < <(grep -E '^ [A-Z].*: ' <<<"$hc_out" | grep -v ': yes' | sed 's/^ //; s/:.*//' | sort -u)

step "lintian"
lintian_out=$(lintian --info --allow-root "$deb" 2>&1 || true)
echo "$lintian_out"
if grep -q '^E:' <<<"$lintian_out"; then
    fail "lintian reports errors"
fi

# --- install, run, remove ----------------------------------------------------------------------
step "dpkg -i"
dpkg -i "$deb"

# Runs an installed program with a bogus option: it must print "ERROR: argument error" and the
# usage text on standard output, and exit with 255.
check_bogus() {
    local prog=$1 expected=$2 out rc=0
    out=$("/usr/sbin/$prog" -bogus) || rc=$?
    [[ $rc -eq 255 ]] || fail "$prog -bogus exited with $rc, not 255"
    [[ $out == "$expected" ]] || {
        diff <(echo "$expected") <(echo "$out") || true
        fail "$prog -bogus printed the wrong text"
    }
    echo "$prog -bogus: exit 255, usage text as expected"
}
check_bogus pairvault "ERROR: argument error
USAGE: pairvault -backup <file to backup> [-ohub] [-l <log file|stdout|stderr>]
       pairvault -restore <file to restore> [-ohub] [-l <log file|stdout|stderr>]
       pairvault -reset [-backup <blank backup file>] [-restore <blank backup file>] [-ohub] [-l <log file|stdout|stderr>]
Backup, restore, or reset paired device information.
When -reset used with -backup, to create blank backup file at intial startup or firmware udpate.
When -reset used with -restore <blank backup file>, sensors are kept on network after reset.  Otherwise, sensors will leave from network.
Please specify -ohub option for updating Orvane Hub.  Otherwise, output Zigbee device will be found automatically."
check_bogus radioflash "ERROR: argument error
USAGE: radioflash -f <firmware file> [-ohub] [-l <log file|stdout|stderr>]
Please specify -ohub option for updating Orvane Hub.  Otherwise, output Zigbee device will be found automatically."

module=/usr/share/mender/modules/v3/zigbee-module-firmware
[[ $("$module" NeedsArtifactReboot "$stage") == No && $("$module" SupportsRollback "$stage") == Yes ]] ||
    fail "$module does not answer Mender's questions"
echo "$module: answers NeedsArtifactReboot and SupportsRollback"

wants=/etc/systemd/system/multi-user.target.wants/$unit
if [[ -x /usr/bin/swupdate ]]; then
    [[ -L $wants ]] || fail "swupdate is installed, but $unit was not enabled"
    # The hub's swupdate_handlers.lua loads the handler by name from Lua's own path.
    swu=$(mktemp -d)
    echo 'require("zigbee_module_firmware")' >"$swu/swupdate_handlers.lua"
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$swu/key.pem" -out "$swu/cert.pem" \
        -days 1 -subj /CN=check 2>/dev/null
    handlers=$(cd "$swu" && TMPDIR=$swu timeout 20 swupdate -l 5 -k cert.pem -c -i /dev/null 2>&1) || true
    rm -rf "$swu"
    grep -q 'print_registered_handlers.*zigbee-module-firmware' <<<"$handlers" ||
        fail "swupdate does not register the zigbee-module-firmware handler"
    echo "swupdate: $unit enabled, the zigbee-module-firmware handler registered"
else
    [[ ! -e $wants ]] || fail "$unit was enabled without swupdate"
fi

for page in pairvault radioflash zigbee-module-update; do
    path=$(man -w "$page" 2>/dev/null) ||
        fail "man -w $page finds no page (does /etc/dpkg/dpkg.cfg.d exclude /usr/share/man?)"
    [[ $path == /usr/share/man/man8/$page.8.gz ]] || fail "man -w $page gave $path"
    echo "man -w $page: $path"
done
logrotate --debug "/etc/logrotate.d/$pkg" >/dev/null 2>&1 ||
    fail "logrotate rejects /etc/logrotate.d/$pkg"

step "dpkg -r"
dpkg -r "$pkg"
for b in pairvault radioflash zigbee-module-update; do
    [[ ! -e /usr/sbin/$b ]] || fail "/usr/sbin/$b is still there after dpkg -r"
done
# A removed package keeps its conffiles until it is purged.
for f in /etc/logrotate.d/$pkg /etc/default/$pkg; do
    [[ -e $f ]] || fail "dpkg -r removed the conffile $f"
done
dpkg -P "$pkg" >/dev/null
for f in /etc/logrotate.d/$pkg /etc/default/$pkg $wants; do
    [[ ! -e $f ]] || fail "dpkg -P left $f"
done

step "package-check: OK ($deb)"
