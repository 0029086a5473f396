#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/<target>/ from the real exchanges: what the
module, udevadm, a calling script and the file system hand the tools on a good day, and the
usual ways they go wrong. Run it after changing a seed; the files are committed."""

import binascii
import os
import shutil

HERE = os.path.dirname(os.path.abspath(__file__))

SOH, STX, EOT, ACK, NAK, CAN, SUB = 0x01, 0x02, 0x04, 0x06, 0x15, 0x18, 0x1A
C = ord("C")


def write(target, seeds):
    out = os.path.join(HERE, "corpus", target)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


# --- the module's line: flags, then chunk 0 and the answers to the program's writes ---------

def line(*chunks, hangs_up=False):
    out = bytearray([1 if hangs_up else 0])
    for c in chunks:
        c = bytes(c)
        if len(c) < 0x80:
            out.append(len(c))
        else:
            out += bytes([0x80 | len(c) >> 8, len(c) & 0xFF])
        out += c
    return bytes(out)


def block(number, payload, crc=True):
    head = bytes([SOH if len(payload) == 128 else STX, number & 0xFF, ~number & 0xFF])
    if crc:
        check = binascii.crc_hqx(payload, 0).to_bytes(2, "big")
    else:
        check = bytes([sum(payload) & 0xFF])
    return head + payload + check


def reply(code, payload):
    return bytes([0x00, 0x01, code, 0x08, len(payload)]) + bytes(payload) + b"\xaa"


def data(n, seed=0):
    return bytes((i * 7 + seed) & 0xFF for i in range(n))


def filled(chunk, size=128):
    return chunk + (bytes([SUB]) + bytes(size - len(chunk) - 1) if len(chunk) < size else b"")


def receive_seeds():
    last = filled(data(44, 3))
    return {
        # "C", two blocks, EOT
        "crc-two-blocks": line(b"", block(1, data(128)), block(2, last), [EOT]),
        # the sender ignores "C" and starts after the first NAK
        "checksum": line(b"", *([b""] * 16), block(1, data(128), False), [EOT]),
        "mixed-1k": line(b"", block(1, data(1024, 5)), block(2, data(128, 9)), [EOT]),
        # a damaged block, answered with NAK, then sent again; then a repeat of it
        "damaged-repeat": line(b"", block(1, data(128))[:-1] + b"\x00", block(1, data(128)),
                               block(1, data(128)), [EOT]),
        "cancel": line(b"", [CAN, CAN]),
        "eot-first": line(b"", [EOT]),
        "eot-then-noise": line(b"", block(1, data(128)), [EOT, 0x41, 0x42], b"", [EOT]),
        "unplugged": line(b"", block(1, data(128))[:70], hangs_up=True),
    }


def send_seeds():
    # The first two bytes give the size of the source (low 12 bits, big-endian).
    def seed(size, *chunks, hangs_up=False):
        return size.to_bytes(2, "big") + line(*chunks, hangs_up=hangs_up)
    acks = [[ACK]] * 4
    return {
        "crc-300": seed(300, [C], *acks[:3], [ACK]),
        "checksum-128": seed(128, [NAK], *acks[:2], [ACK]),
        "empty": seed(0, [C], [ACK], [ACK]),
        "nak-then-ack": seed(200, [C], [NAK], [ACK], [ACK], [ACK]),
        "cancelled": seed(500, [C], [ACK], [CAN, CAN]),
        "silent": seed(10, b""),
        "eot-nak": seed(20, [C], [ACK], [NAK], [ACK]),
        "unplugged": seed(400, [C], [ACK], hangs_up=True),
    }


def pairvault_exchange_seeds():
    # First byte: 0 reboot, 1 create network, 2 backup, 3 restore, anything else factory reset.
    gateway = reply(0x04, bytes(range(0x11, 0x19)))
    return {
        "reboot": bytes([0]) + line(b"", reply(0x06, [0])),
        "create-refused": bytes([1]) + line(b"", *[reply(0x03, [1])] * 6),
        "backup-late": bytes([2]) + line(b"", b"", reply(0x09, [0])),
        "restore-short": bytes([3]) + line(b"", reply(0x0A, [0])[:4], reply(0x0A, [0])),
        "reset": bytes([4]) + line(b"", gateway, reply(0x07, [0])),
        "reset-long-id": bytes([4]) + line(b"", reply(0x04, data(20)), b"", reply(0x07, [0])),
        "reset-silent": bytes([4]) + line(b""),
    }


def radioflash_exchange_seeds():
    # First byte: even for the version query, odd for the switch into the firmware receiver.
    return {
        "version": bytes([0]) + line(b"", reply(0x01, [0x34, 0x12])),
        "version-longer": bytes([0]) + line(b"", reply(0x01, [0x34, 0x12]) + b"\x55"),
        "version-wrong": bytes([0]) + line(b"", *[reply(0x01, [0x34])] * 6),
        "update": bytes([1]) + line(b"", reply(0xE0, [0]), [C]),
        "update-restart": bytes([1]) + line(b"", reply(0xE0, [5]), [C, 0x00], reply(0xE0, [0]),
                                            [0x00, C]),
        "update-silent": bytes([1]) + line(b""),
    }


# --- udevadm, the command line, files ---------------------------------------------------------

UDEVADM = (b"P: /devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0\n"
           b"N: ttyUSB0\nL: 0\nS: serial/by-id/usb-FTDI_FT230X_Basic_UART_D30A1B2C-if00-port0\n"
           b"E: DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0\n"
           b"E: DEVNAME=/dev/ttyUSB0\nE: MAJOR=188\nE: MINOR=0\nE: SUBSYSTEM=tty\n"
           b"E: ID_BUS=usb\nE: ID_VENDOR_ID=0403\nE: ID_MODEL_ID=6015\n"
           b"E: ID_SERIAL=FTDI_FT230X_Basic_UART_D30A1B2C\nE: ID_USB_DRIVER=ftdi_sio\n\n")


def args(*words):
    return b"\0".join(w.encode() for w in words)


def main():
    write("xmodem_receive", receive_seeds())
    write("xmodem_send", send_seeds())
    write("pairvault_exchanges", pairvault_exchange_seeds())
    write("radioflash_exchanges", radioflash_exchange_seeds())
    write("discovery_udevadm", {
        "ft230x": UDEVADM,
        "other-adapter": UDEVADM.replace(b"6015", b"6001"),
        "no-newline": b"E: ID_MODEL_ID=6015\nE: ID_VENDOR_ID=0403",
        "long-line": b"E: ID_VENDOR_ID=0403\n" + b"x" * 511 + b"ID_MODEL_ID=6015\n",
        "nul": b"E: ID_VENDOR_ID=0403\nE: ID_MODEL_ID=6015\0junk\n",
    })
    write("pairvault_cli", {
        "backup": args("-backup", "/var/lib/zb/backup.bin", "-ohub"),
        "restore-log": args("-restore", "paired.bin", "-l", "stdout"),
        "reset-blank": args("-reset", "-restore", "blank.bin", "-log", "/tmp/pv.log", "-ohub"),
        "reboot-create": args("-reboot", "-create", "-ohub"),
        "both-files": args("-backup", "a", "-restore", "b"),
        "missing-value": args("-backup", "x", "-l"),
    })
    write("radioflash_cli", {
        "update": args("-f", "/lib/firmware/zb.bin", "-ohub", "-l", "stderr"),
        "file-twice": args("-file", "a.bin", "-f", "b.bin"),
        "version": args("-currentversion", "-ohub", "-log", "stdout"),
        "empty-word": args("-f", "x", ""),
    })
    # First byte, low 7 bits: regular (0), sparse beyond the largest sendable size (1),
    # directory (2), FIFO (3), character device (4), missing (5).
    write("send_file", {
        "restore-file": bytes([0x00]) + data(3000),
        "image": bytes([0x00]) + data(1000, 1),
        "empty": bytes([0x00]),
        "sparse": bytes([0x01, 0x00, 0x10]),
        "directory": bytes([0x02]),
        "fifo": bytes([0x03]),
        "char-device": bytes([0x04]),
        "missing": bytes([0x05]),
    })


if __name__ == "__main__":
    main()
