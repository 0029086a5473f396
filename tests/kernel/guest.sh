#!/bin/busybox sh
# shellcheck shell=dash disable=SC2034,SC2154 # FTX, holder, group: used by the rows, set by eval
# The guest's init (see rig.sh): brings up devices, modules and systemd-udevd, plugs in the FT-X
# gadget, runs the rows of its group (rig.group= on the kernel command line), leaves the results
# as a tar on the first disk and powers off. A power-cut group writes its results before the
# operation that is cut ("RIG: cut-start" on the console).
/bin/busybox mkdir -p /proc /sys /dev /bin /sbin
/bin/busybox --install -s /bin
export PATH=/usr/sbin:/sbin:/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /dev/pts /run /tmp /var/log /var/lib/zigbee-module-tools /etc/default /data /out
mount -t devpts devpts /dev/pts
mount -t tmpfs tmp /tmp
read -r cmdline </proc/cmdline
for w in $cmdline; do
    case $w in rig.*=*) w=${w#rig.} && eval "${w%%=*}='${w#*=}'" ;; esac
done
# A power-cut group needs only the UART and the disk.
usb="dummy_hcd libcomposite usb_f_fs xhci_pci"
case $group in cut-*) usb= ;; esac
for m in virtio_pci virtio_blk ext4 $usb; do modprobe "$m"; done
[ -z "$usb" ] || mount -t configfs none /sys/kernel/config
/lib/systemd/systemd-udevd --daemon
udevadm trigger --action=add --subsystem-match=usb --subsystem-match=usb-serial --subsystem-match=tty
udevadm settle
echo "RIG: up $(cut -d' ' -f1 /proc/uptime) s"

# --- the FT-X adapter: a configfs gadget whose one function is ftx_gadget ---------------------
G=/sys/kernel/config/usb_gadget/ftx
gadget() {
cp /rig/data/table.bin /tmp/usb-table.bin
mkdir -p $G/strings/0x409 $G/configs/c.1 $G/functions/ffs.ftx /dev/ffs
echo 0x0403 >$G/idVendor
echo 0x6015 >$G/idProduct
echo 0x1000 >$G/bcdDevice
echo full-speed >$G/max_speed
echo FTDI >$G/strings/0x409/manufacturer
echo "FT230X Basic UART" >$G/strings/0x409/product
echo RIG00001 >$G/strings/0x409/serialnumber
ln -s $G/functions/ffs.ftx $G/configs/c.1/
mount -t functionfs ftx /dev/ffs
ftx_gadget /dev/ffs /out/ftx.log --table /tmp/usb-table.bin --image /tmp/usb-image.bin \
    --blank-table /rig/data/blank.bin --record /out/usb.rec --stay-in-receiver --xm-timeout 3000 2>>/out/ftx.err &
until grep -q ready /out/ftx.log 2>/dev/null; do sleep 0.1; done
}

# The adapter's port, once udev has it: the usb-serial device under dummy_hcd.
ftx_port() {
    for i in $(seq 50); do
        udevadm settle
        for d in /sys/bus/usb-serial/devices/*; do
            case $(readlink "$d") in *dummy_hcd*) basename "$d" && return 0 ;; esac
        done
        sleep 0.1
    done
    return 1
}
plug() {
    ls /sys/class/udc >$G/UDC && FTX=$(ftx_port)
}
unplug() {
    wc -l </out/usb.rec >/tmp/unplug.mark
    echo "" >$G/UDC
}
# Waits up to a minute until the module's record shows TEXT after line MARK-FILE's number.
seen_since() {
    for _ in $(seq 600); do
        tail -n +$(($(cat "$1") + 1)) /out/usb.rec | grep -q "$2" && return 0
        sleep 0.1
    done
    return 1
}
# Unplugs DELAY seconds after the module's record shows TEXT in this row.
unplug_after() { seen_since /tmp/row.mark "$1" && sleep "$2" && unplug; }
# Waits until the module has finished with the transfer the unplug cut (it shows TEXT).
settled() { seen_since /tmp/unplug.mark "$1"; }
[ -z "$usb" ] || { gadget && plug; }

# --- rows ---------------------------------------------------------------------------------------
# row GROUP NAME STATUS STDOUT COMMAND [CHECK]: runs COMMAND (run logs fresh), expects its exit
# status and standard output (a shell pattern), then CHECK; one "ROW" line in /out/rows.
logged() { grep -qF "$2" "/var/log/$1.log"; }
# What the module took: the file sent and the fill of its last block.
took() { head -c "$(wc -c <"$2")" "$1" | cmp - "$2" && [ $(($(wc -c <"$1") - $(wc -c <"$2"))) -le 128 ]; }
no_debris() {
    for f in "$1"/.*; do
        case ${f##*/} in . | .. | '.*') ;; *) return 1 ;; esac
    done
}
row() {
    [ "$1" = "$group" ] || return 0
    name=$2
    rm -f /var/log/pairvault.log /var/log/radioimage.log
    : >/out/ftx.log
    wc -l </out/usb.rec >/tmp/row.mark
    t0=$(cut -d' ' -f1 /proc/uptime)
    out=$(eval "$5" 2>>/out/rows.err)
    rc=$?
    t1=$(cut -d' ' -f1 /proc/uptime)
    verdict=ok
    # shellcheck disable=SC2254 # the expected output is a pattern
    case $out in $4) ;; *) verdict="FAIL(stdout)" ;; esac
    [ "$rc" = "$3" ] || verdict="FAIL(status $rc)"
    [ "$verdict" != ok ] || (eval "${6:-true}") >>/out/rows.err 2>&1 || verdict="FAIL(check)"
    for l in pairvault radioimage; do cp /var/log/$l.log "/out/$name.$l.log" 2>/dev/null; done
    cp /out/ftx.log "/out/$name.ftx.log"
    echo "ROW $name $verdict $(awk "BEGIN {print $t1 - $t0}") s rc=$rc out=$(echo "$out" | tr '\n' ' ')" |
        tee -a /out/rows
}
save_out() {
    dmesg >/out/vm-kernel.log
    tar cf /dev/vda -C /out . && sync
}

echo "RIG: group $group"
# shellcheck source=tests/kernel/rows
. /rig/rows
case $group in cut-*)
    mount -t ext4 /dev/vdb /data && mkdir -p /data/state /data/log &&
        mount --bind /data/state /var/lib/zigbee-module-tools && mount --bind /data/log /var/log
    R=/out
    report
    save_out
    echo "RIG: cut-start"
    cut_op
    echo "RIG: op-done"
    # The last boot of a series is not cut: what its operation left is reported as well.
    [ -z "${final-}" ] || { R=/out/final && mkdir -p $R && report; }
    umount /var/log /var/lib/zigbee-module-tools /data
    ;;
esac
save_out
poweroff -f
