#!/bin/bash
# Shows pairvault and radioflash at work without a hub: the simulated module plays the Zigbee
# coordinator on a pseudo-terminal, and the sandbox makes that terminal the hub's /dev/ttyS4
# (and gives the programs a private /var/log) for each command.
#
#   tools/demo.sh BUILD_DIR
#
# Exit status 0 when every step behaved as a healthy module makes it behave.

set -u

if [ $# -ne 1 ] || [ ! -d "$1" ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
build=$(cd "$1" && pwd -P)
here=$(cd "$(dirname "$0")" && pwd -P)
sandbox="$here/../tools/sandbox"
sim="$build/sim/modulesim"
pairvault="$build/pairvault/pairvault"
radioflash="$build/radioflash/radioflash"

if [ ! -x "$sim" ]; then
    echo "demo: $sim is missing; build the modulesim target first" >&2
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zb-demo.XXXXXX") || exit 1
simpid=""
# shellcheck disable=SC2317 # called through the trap
cleanup() {
    if [ -n "$simpid" ]; then
        kill -TERM "$simpid" 2>/dev/null
        wait "$simpid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir "$work/log"
# The module's paired-device table (600 bytes, then the table of a reset module) and a
# 5000-byte firmware image, all recognisable.
for i in $(seq 1 20); do printf 'paired device %03d: 0x%04x ....\n' "$i" $((i * 977)); done |
    head -c 600 >"$work/module-table.bin"
for i in $(seq 1 200); do printf 'firmware image line %04d ---\n' "$i"; done |
    head -c 5000 >"$work/firmware.bin"
printf 'factory-fresh table, no devices paired\n' >"$work/blank-table.bin"

# start_sim OPTIONS...: starts the simulated module (ending the one before) and sets pty.
start_sim() {
    if [ -n "$simpid" ]; then
        kill -TERM "$simpid" 2>/dev/null
        wait "$simpid" 2>/dev/null
    fi
    "$sim" --record "$work/module.rec" "$@" >"$work/sim.out" 2>"$work/sim.err" &
    simpid=$!
    pty=""
    for _ in $(seq 1 50); do
        pty=$(head -n 1 "$work/sim.out" 2>/dev/null)
        [ -n "$pty" ] && break
        sleep 0.1
    done
    if [ -z "$pty" ]; then
        echo "demo: the simulated module did not start:" >&2
        cat "$work/sim.err" >&2
        exit 1
    fi
}

start_sim --table "$work/module-table.bin" --blank-table "$work/blank-table.bin" \
    --image "$work/received-image.bin"
echo "== simulated module on $pty, seen by the programs as /dev/ttyS4"

failures=0
# step EXPECTED-STATUS PROGRAM ARGS...: runs one command in the sandbox and shows it.
step() {
    local expected=$1 program=$2
    shift 2
    local name
    name=$(basename "$program")
    echo
    echo "\$ $name $*"
    if [ ! -x "$program" ]; then
        echo "   ($program is missing: build the $name target to run this step)"
        failures=$((failures + 1))
        return
    fi
    "$sandbox" --tty "ttyS4=$pty" --var-log "$work/log" -- "$program" "$@" >"$work/out" 2>&1
    local rc=$?
    sed 's/^/   /' "$work/out"
    echo "   [exit status $rc]"
    if [ "$rc" -eq 77 ]; then
        echo "demo: the sandbox needs root or user namespaces; see tools/sandbox" >&2
        exit 1
    fi
    if [ "$rc" -ne "$expected" ]; then
        echo "   (expected exit status $expected)"
        failures=$((failures + 1))
    fi
}

cd "$work" || exit 1
step 1 "$pairvault" -reboot -ohub
step 1 "$pairvault" -create -ohub
step 1 "$pairvault" -backup backup.bin -ohub
step 1 "$pairvault" -restore backup.bin -ohub
step 1 "$pairvault" -reset -backup blank-backup.bin -ohub
step 1 "$radioflash" -currentversion -ohub
step 0 "$radioflash" -f firmware.bin -ohub

echo
echo "== an update cut short: the line dies at block 3 and the module, its old image already"
echo "   erased, stays in its firmware receiver; the next update finishes the job"
start_sim --stay-in-receiver --xm-stop 3 --xm-timeout 4000 --image "$work/recovered-image.bin" \
    --version 1.2.3.4 --flashed-version 1.3.0.0
step 255 "$radioflash" -f firmware.bin -ohub
step 1 "$pairvault" -backup after-cut.bin -ohub
step 0 "$radioflash" -f firmware.bin -ohub
step 1 "$radioflash" -currentversion -ohub

echo
echo "== files"
show_size() { [ -f "$1" ] && echo "   $1: $(stat -c %s "$1") bytes" || echo "   $1: missing"; }
for f in module-table.bin blank-table.bin backup.bin blank-backup.bin firmware.bin received-image.bin \
    recovered-image.bin; do
    show_size "$f"
done
# What went over the line is the file followed by its XMODEM fill: SUB, then zeros.
for f in received-image.bin recovered-image.bin; do
    if [ -f "$f" ] && cmp -s -n "$(stat -c %s firmware.bin)" firmware.bin "$f"; then
        echo "   $f: firmware.bin intact (followed by the XMODEM fill)"
    else
        echo "   $f differs from firmware.bin"
        failures=$((failures + 1))
    fi
done

for logfile in log/pairvault.log log/radioimage.log; do
    echo
    echo "== run log /var/log/${logfile#log/}"
    if [ -f "$logfile" ]; then
        sed 's/^/   /' "$logfile"
    else
        echo "   (none)"
    fi
done

echo
echo "== the module's record (XMODEM block events left out)"
grep -v '^XM [rt]x \(block\|ACK\|junk\)' module.rec | sed 's/^/   /'

echo
if [ "$failures" -eq 0 ]; then
    echo "== demo finished: every step behaved as expected"
    exit 0
fi
echo "== demo finished with $failures unexpected result(s)"
exit 1
