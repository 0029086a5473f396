#!/bin/bash
# The kernel rig: runs the shipped programs in a QEMU guest, through the kernel's own drivers
# (8250 for /dev/ttyS4, ftdi_sio over dummy_hcd for the FT-X adapter, sysfs, systemd-udevd).
#
#   rig.sh BUILD_DIR GROUP [SEED]
#
# Builds the guest once from Debian 12's packages (cached in BUILD_DIR/kernel), then runs the
# rows of GROUP from tests/kernel/rows: each row runs in the guest (tests/kernel/guest.sh) and
# its checks are made on both sides. The module on /dev/ttyS4 is modulesim on the host, joined
# to the guest's 16550 through a pseudo-terminal; the module behind the adapter is ftx_gadget in
# the guest. Power cuts kill QEMU with SIGKILL. Results, run logs and the guest's kernel log
# (vm-kernel.log) stay in BUILD_DIR/kernel/GROUP. Exit 77 (a skip) when qemu or the packages
# cannot be had.
set -euo pipefail

build=$(realpath "$1") group=$2 seed=${3:-$RANDOM}
here=$(dirname "$(realpath "$0")")
cache=$build/kernel
work=$cache/$group
guest=$cache/guest
skip() {
    echo "SKIP: $*"
    exit 77
}
fail=0
bad() {
    echo "FAIL: $*"
    fail=1
}

# --- the guest -------------------------------------------------------------------------------
# Kernel, udev and kmod from the machine's Debian mirror; busybox from the host's busybox-static;
# libraries the host's Debian 12 has are copied from it, as ldd finds them.
MODULES="virtio_pci virtio_blk ext4 dummy_hcd libcomposite usb_f_fs ftdi_sio xhci_pci"
build_guest() {
    local debs=$cache/debs stage=$cache/stage kver root=$guest.tmp
    command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 is not installed"
    [[ -x /bin/busybox ]] || skip "busybox-static is not installed"
    mkdir -p "$debs"
    if ! ls "$debs"/linux-image-*.deb >/dev/null 2>&1; then
        local k
        k=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/ {print $2; exit}')
        [[ -n $k ]] || skip "no linux-image-amd64 in the apt sources (apt-get update first)"
        (cd "$debs" && apt-get download -q "$k" udev libudev1 kmod libkmod2 >/dev/null 2>&1) ||
            skip "cannot download the guest's packages from the Debian mirror"
    fi
    rm -rf "$stage" "$root"
    for d in "$debs"/*.deb; do dpkg-deb -x "$d" "$stage"; done
    kver=$(ls "$stage/lib/modules")
    # kmod is what it is called: depmod and modprobe, run from the unpacked package.
    ln -s kmod "$stage/bin/depmod" && ln -s kmod "$stage/bin/modprobe"
    export LD_LIBRARY_PATH=$stage/usr/lib/x86_64-linux-gnu
    "$stage/bin/depmod" -b "$stage" "$kver"
    mkdir -p "$root"/{bin,sbin,lib/modules/"$kver",usr/lib,etc,rig}
    cp /bin/busybox "$root/bin/"
    cp -a "$stage"/bin/{udevadm,kmod} "$root/bin/"
    ln -s /bin/kmod "$root/sbin/modprobe" # the kernel's own module requests (crc32c for ext4)
    cp -a "$stage/lib/udev" "$stage/lib/systemd" "$root/lib/" 2>/dev/null
    cp -a "$stage/etc/udev" "$root/etc/"
    # The modules asked for and what they need, by the kernel's own dependency list.
    local want=" " m f
    for m in $MODULES; do
        f=$("$stage/bin/modprobe" -d "$stage" -S "$kver" --show-depends "$m" |
            awk '$1 == "insmod" {print $2}')
        want+="$f "
    done
    for f in $want; do
        mkdir -p "$root/$(dirname "${f#"$stage"}")"
        cp "$f" "$root/${f#"$stage"}"
    done
    cp "$stage/lib/modules/$kver"/modules.{order,builtin,builtin.modinfo} "$root/lib/modules/$kver/"
    "$stage/bin/depmod" -b "$root" "$kver"
    unset LD_LIBRARY_PATH
    cp "$stage/usr/lib/x86_64-linux-gnu"/lib{kmod,udev}.so.* "$root/usr/lib/"
    # The kernel unpacked (its xz stream) boots through QEMU's PVH entry, seconds sooner under TCG
    # than the compressed image through the BIOS.
    local at
    at=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$stage/boot/vmlinuz-$kver" | head -n 1 | cut -d: -f1)
    tail -c +$((at + 1)) "$stage/boot/vmlinuz-$kver" | xz -dcq >"$cache/vmlinux" 2>/dev/null || true
    [[ -s $cache/vmlinux ]] || skip "cannot unpack the guest's kernel (xz-utils missing?)"
    rm -rf "$root/lib/udev/hwdb.d" # sources of a database udev is not given
    mv "$root" "$guest"
    rm -rf "$stage"
    touch "$guest.done"
}

# The guest's files for this run: the built tree, the programs, their libraries, the rows.
pack_guest() {
    local root=$work/root b
    rm -rf "$root" && mkdir -p "$root/rig" "$root/usr/sbin"
    cp -a "$guest/." "$root/"
    # busybox has no flock, which the update policy needs: util-linux's from the host.
    cp "$build/pairvault/pairvault" "$build/radioflash/radioflash" "$build/sim/ftx_gadget" \
        /usr/bin/flock "$root/usr/sbin/"
    cp "$here/../../packaging/update/zigbee-module-update" "$root/usr/sbin/"
    cp "$build/bench/libserial_flags_shim.so" "$here/guest.sh" "$here/rows" "$root/rig/"
    cp -r "$cache/data" "$root/rig/"
    ln -s rig/guest.sh "$root/init"
    local libs lib
    libs=$(for b in "$root"/usr/sbin/{pairvault,radioflash,ftx_gadget,flock} "$root"/rig/*.so \
        "$root"/bin/{udevadm,kmod}; do
        LD_LIBRARY_PATH=$root/usr/lib ldd "$b" | awk '/=> \// {print $3} /^\t\/lib64/ {print $1}'
    done | sort -u)
    for lib in $libs; do
        [[ $lib == "$root"/* || -e $root/$lib ]] ||
            { mkdir -p "$root/$(dirname "$lib")" && cp -L "$lib" "$root/$lib"; }
    done
    (cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/guest.cpio"
}

# Boots the guest on the current disks; in a power-cut group CUT_AFTER=SECONDS cuts its power
# that long after the console shows "RIG: cut-start". Returns when QEMU has ended.
boot() {
    # no_timer_check: a loaded host can make the emulated timer look broken to the kernel.
    local append="console=ttyS0 8250.nr_uarts=5 panic=-1 no_timer_check quiet rig.group=$group $*"
    local accel=(-accel tcg)
    [[ -w /dev/kvm ]] && accel=(-accel kvm "${accel[@]}") # TCG where KVM does not start
    : >"$work/console.log"
    qemu-system-x86_64 "${accel[@]}" -M pc -m 512 -smp 1 -display none -no-reboot \
        -kernel "$cache/vmlinux" -initrd "$work/guest.cpio" -append "$append" \
        -serial "file:$work/console.log" -monitor none \
        -drive "file=$work/out.img,format=raw,if=virtio" \
        -drive "file=$work/data.img,format=raw,if=virtio" \
        -chardev "serial,id=mod,path=$pty" -device pci-serial,chardev=mod \
        -device qemu-xhci -chardev "file,id=ft232,path=$work/ft232.out" -device usb-serial,chardev=ft232 &
    qemu=$!
    if [[ $group == cut-* ]]; then
        while kill -0 "$qemu" 2>/dev/null && ! grep -q "RIG: cut-start" "$work/console.log"; do
            sleep 0.05
        done
        cp "$work/hub-image.bin" "$work/image-at-mark.bin" # what the module ran at the report
        if [[ -n ${CUT_AFTER-} ]]; then
            sleep "$CUT_AFTER"
            kill -KILL "$qemu" 2>/dev/null || true
        fi
    fi
    wait "$qemu" 2>/dev/null || true
}

# Reads the results the guest left on the first disk into $work/out.
results() {
    rm -rf "$work/out" && mkdir -p "$work/out"
    tar xf "$work/out.img" -C "$work/out" 2>/dev/null || true
    cp "$work/out/vm-kernel.log" "$work/vm-kernel.log" 2>/dev/null || true
}
sum() { sha256sum <"$1" | cut -d' ' -f1; }
listed() { cut -d' ' -f1 "$work/out/$1" 2>/dev/null; }

# --- the run -------------------------------------------------------------------------------------
# "build" makes the guest and the data files the groups share (CTest runs it first).
data=$cache/data
[[ -f $guest.done ]] || build_guest
if [[ ! -f $data/fw-b.bin ]]; then
    mkdir -p "$data"
    # Images start with their version (modulesim --version-from-image): 1.3.0.0, 1.0.0.0, 2.0.0.0.
    for f in table:3072 table2:2560 blank:1024 big:65536 image:4096 fw-a:2048 fw-b:2048; do
        head -c "${f#*:}" /dev/urandom >"$data/${f%:*}.bin"
    done
    printf '\023\000' | dd of="$data/image.bin" conv=notrunc status=none
    printf '\020\000' | dd of="$data/fw-a.bin" conv=notrunc status=none
    printf '\040\000' | dd of="$data/fw-b.bin" conv=notrunc status=none
fi
[[ $group != build ]] || exit 0
for f in pairvault/pairvault radioflash/radioflash sim/ftx_gadget sim/modulesim; do
    [[ -x $build/$f ]] || { echo "FAIL: $build/$f is not built"; exit 1; }
done
mkdir -p "$work"
pack_guest
echo "seed $seed (rerun: $0 $1 $group $seed)"

# The module on /dev/ttyS4: modulesim on the host, on a pseudo-terminal QEMU's 16550 carries.
cp "$data/table.bin" "$work/hub-table.bin"
cp "$data/fw-a.bin" "$work/hub-image.bin"
sim_opts=(--table "$work/hub-table.bin" --image "$work/hub-image.bin" --blank-table "$data/blank.bin"
    --record "$work/hub.rec" --version-from-image --stay-in-receiver)
: >"$work/hub.rec"
sim='' qemu=''
trap 'kill $sim $qemu 2>/dev/null' EXIT
trap 'exit 1' TERM INT
# (Re)starts the module. A power cut of the hub cuts the module too: it comes back running the
# last image it took whole, or in its receiver when an image was coming in.
start_sim() {
    local opts=("${sim_opts[@]}") hi lo
    [[ -z $sim ]] || { kill "$sim" && wait "$sim" 2>/dev/null; } || true
    read -r hi lo < <(od -An -tu1 -N2 "$work/hub-image.bin")
    opts+=(--version "$((hi >> 4)).$((hi & 15)).$((lo >> 4)).$((lo & 15))")
    awk '/^RX 00 00 e1/ || /^XM waiting/ {s = 1} /^XM end/ && s {s = $3 <= 0} END {exit !s}' \
        "$work/hub.rec" && opts+=(--start-in-receiver)
    rm -f "$work/sim.out"
    "$build/sim/modulesim" "${opts[@]}" >"$work/sim.out" &
    sim=$!
    until [[ -s $work/sim.out ]]; do sleep 0.05; done
    pty=$(head -n 1 "$work/sim.out")
}
start_sim
truncate -s 0 "$work/out.img" && truncate -s 64M "$work/out.img"
rm -f "$work/data.img"
mkdir -p "$work/disk/state"
cp "$data/blank.bin" "$work/disk/b.bin"
cp "$data/fw-a.bin" "$work/disk/state/previous-image"
echo 1.0.0.0 >"$work/disk/state/previous-image.version"
echo fw-1.0.0.0 >"$work/disk/state/previous-image.artifact"
mkfs.ext4 -q -d "$work/disk" "$work/data.img" 16M

case $group in
drivers | unplug)
    start=$SECONDS
    boot
    results
    grep '^ROW' "$work/out/rows" || bad "the guest ran no row (see $work/console.log)"
    grep -q '^ROW .* FAIL' "$work/out/rows" && bad "rows failed (see $work/out/rows.err)"
    if [[ $group == drivers ]]; then
        head -c 4096 "$work/hub-image.bin" | cmp -s - "$data/image.bin" ||
            bad "the module on ttyS4 did not get the image"
        awk '/^ROW (usb-rate|hub-rate)/ {print "rate:", $2, $4, "s for 64 KiB"}' "$work/out/rows"
    fi
    echo "group $group: $((SECONDS - start)) s, boot to first row $(grep -o 'up [0-9.]* s' "$work/console.log")"
    ;;
cut-backup | cut-update)
    # Cut instants are spread over a little more than the operation takes on an idle machine.
    cuts=${CUTS:-20} window=5 start=$SECONDS
    [[ $group == cut-update ]] && window=28 # install, then commit
    RANDOM=$seed
    declare -A fw=([$(sum "$data/fw-a.bin")]=1.0.0.0 [$(sum "$data/fw-b.bin")]=2.0.0.0)
    before=$(sum "$data/blank.bin") done_op=
    for ((i = 0; i <= cuts; i++)); do
        # Each boot's backup gets a table of its own, so "old" and "new" are never the same.
        { printf 'boot %04d' "$i" && head -c 16384 "$data/big.bin" | tail -c +10; } >"$work/hub-table.bin"
        served=$(sum "$work/hub-table.bin")
        start_sim
        delay=$((RANDOM % (window * 1000)))
        if ((i < cuts)); then
            CUT_AFTER=$((delay / 1000)).$(printf %03d $((delay % 1000))) boot
        else
            boot rig.final=1
        fi
        results
        cp --sparse=always "$work/data.img" "$work/fsck.img"
        fsck=0
        e2fsck -fy "$work/fsck.img" >"$work/fsck.log" 2>&1 || fsck=$?
        ((fsck < 4)) || bad "cut $i: e2fsck found errors it could not correct (status $fsck)"
        if ((i == 0)); then
            :
        elif [[ $group == cut-backup ]]; then
            now=$(listed sum) temps=$(grep -c '^\.b\.bin\.' "$work/out/listing" || true)
            left=neither
            [[ $now == "$before" ]] && left=old
            [[ $now == "$prev_served" ]] && left=new
            [[ $left != neither ]] || bad "cut $((i - 1)): the backup is neither the old one nor the new one"
            ((done_op && temps)) && bad "cut $((i - 1)): a finished backup left a temporary file"
            echo "cut $((i - 1)) at ${prev_delay} ms: the backup file is the $left one," \
                "$temps stale temporary file(s)${finished}"
            before=$now
        else
            version=$(cat "$work/out/version") kept=$(cat "$work/out/kept-version" 2>/dev/null)
            phase=$(sed -n 's/^phase=//p' "$work/out/journal" 2>/dev/null)
            problem=
            [[ $(cat "$work/out/recover") == 0 ]] || problem+=" recover failed: $(tr '\n' ' ' <"$work/out/recover.err");"
            [[ $version == 1.0.0.0 || $version == 2.0.0.0 ]] || problem+=" the module does not tell a version ($version);"
            [[ $kept == "$version" && ${fw[$(listed sum)]-} == "$version" ]] ||
                problem+=" the kept image ($kept) is not what the module runs ($version);"
            [[ ${fw[$(head -c 2048 "$work/image-at-mark.bin" | sum /dev/stdin)]-} == "$version" ]] ||
                problem+=" the module's image is not the version it reports;"
            grep -qx transaction "$work/out/listing" && problem+=" the transaction is still open;"
            echo "cut $((i - 1)) at ${prev_delay} ms: journal ${phase:-closed}, module" \
                "${version:-silent}, kept ${kept:-none}${finished}${problem:+; PROBLEM:$problem}"
            [[ -z $problem ]] || bad "cut $((i - 1)):$problem"
        fi
        done_op=$(grep -c 'RIG: op-done' "$work/console.log" || true) finished=
        ((done_op)) && finished=", the operation had finished"
        prev_delay=$delay prev_served=$served
    done
    if [[ $group == cut-backup ]]; then
        if [[ $(listed final/sum) != "$prev_served" ]] || grep -q '^\.b\.bin\.' "$work/out/final/listing"; then
            bad "the last backup did not replace the file or left a temporary file"
        fi
    fi
    echo "group $group: $cuts cuts in $((SECONDS - start)) s"
    ;;
*) echo "unknown group $group" && exit 2 ;;
esac
((fail == 0)) && echo "PASS: $group" || exit 1
