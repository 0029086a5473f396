// ftx_gadget: an FTDI FT-X USB-serial adapter played through FunctionFS, with the simulated
// module (sim/module.h) on its far side, for the kernel rig (tests/kernel). The host's own
// ftdi_sio binds to it as to the real chip: VID 0403, PID 6015, bcdDevice 0x1000 (set in the
// configfs gadget that mounts this function).
//
// What it plays of the chip:
//  - the vendor requests ftdi_sio sends (reset, modem control, flow control, baud rate, data
//    format, event and error characters, modem status, latency timer, EEPROM reads): OUT
//    requests are taken, IN requests answered; every latency timer set is logged;
//  - the line to the module runs at 115200 baud, 10 bits a byte, both ways (the programs' only
//    setting; the baud rate requests are taken but not decoded);
//  - bulk OUT: the bytes go to the module at the line's pace, the next packet taken when they
//    are gone (the chip's 512-byte buffer and its flow control are left out);
//  - bulk IN: packets of at most 64 bytes, each the two modem-status bytes and then data, sent
//    when 62 data bytes wait or when the latency timer runs out (status only when nothing
//    waits); every packet restarts the timer. A reset request (ftdi_sio sends one at every
//    open) drops what the chip holds, whatever the module sent while the port was closed.
// Unplugged (the gadget unbound from its UDC, until the host configures it again) the chip has
// no power: what the module sends is lost. The module carries on, as one powered on its own.
//
//   ftx_gadget FFS_DIR LOG [--table F] [--image F] [--blank-table F] [--record F]
//              [--stay-in-receiver] [--xm-OPTION VALUE]...
// (the options of modulesim of the same names)
//
// LOG gets "latency N" for each latency timer set, "enable"/"disable" for the host's
// configuration, and "ready" once the descriptors are in (the gadget can then be bound).
#include "sim/module.h"

#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <endian.h>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// ftdi_sio's vendor requests (bRequest).
constexpr std::uint8_t REQ_RESET = 0x00;
constexpr std::uint8_t REQ_GET_MODEM_STATUS = 0x05;
constexpr std::uint8_t REQ_SET_LATENCY = 0x09;
constexpr std::uint8_t REQ_GET_LATENCY = 0x0A;
constexpr std::uint16_t RESET_PURGE_TX = 2; // the other values reset the chip or purge its RX

constexpr std::size_t PACKET = 64;          // full-speed bulk packet
constexpr std::size_t PAYLOAD = PACKET - 2; // less the two status bytes
constexpr std::uint8_t MODEM_STATUS = 0x01; // no modem lines; the low nibble is always 1
constexpr std::uint8_t LINE_STATUS = 0x60;  // transmitter empty, no errors
constexpr int DEFAULT_LATENCY_MS = 16;
constexpr auto UNPLUGGED_RETRY = std::chrono::milliseconds(20);
constexpr std::chrono::nanoseconds BYTE_TIME{86806}; // 10 bits at 115200 baud

using Clock = std::chrono::steady_clock;

// Waits until `n` more bytes have crossed the line, which is free again at `free`.
void crossLine(Clock::time_point& free, std::size_t n) {
    free = std::max(free, Clock::now()) + BYTE_TIME * static_cast<long>(n);
    std::this_thread::sleep_until(free);
}

volatile std::sig_atomic_t g_stop = 0;
std::atomic<int> g_latencyMs{DEFAULT_LATENCY_MS};
int g_line = -1; // the module's end is the other socket of the pair
// What the chip holds for the host, under g_chip: the reset request empties it.
std::mutex g_chip;
std::uint8_t g_packet[PACKET] = {MODEM_STATUS, LINE_STATUS};
std::size_t g_held = 0;
std::atomic<bool> g_powered{false};
int g_logFd = -1;

void note(const std::string& line) {
    const std::string l = line + "\n";
    (void)!::write(g_logFd, l.data(), l.size());
}

struct __attribute__((packed)) Endpoints {
    usb_interface_descriptor intf;
    usb_endpoint_descriptor_no_audio in;
    usb_endpoint_descriptor_no_audio out;
};

struct __attribute__((packed)) Descriptors {
    usb_functionfs_descs_head_v2 head;
    std::uint32_t fsCount;
    Endpoints fs;
};

struct __attribute__((packed)) Strings {
    usb_functionfs_strings_head head;
};

usb_endpoint_descriptor_no_audio bulk(std::uint8_t address) {
    return {USB_DT_ENDPOINT_SIZE,   USB_DT_ENDPOINT, address,
            USB_ENDPOINT_XFER_BULK, htole16(PACKET), 0};
}

// Writes the function's descriptors: one vendor-specific interface with a bulk IN and a bulk
// OUT endpoint, and every control request whatever its recipient (ftdi_sio's go to the device).
bool describe(int ep0) {
    Descriptors d{};
    d.head.magic = htole32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    d.head.length = htole32(sizeof d);
    d.head.flags = htole32(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_ALL_CTRL_RECIP);
    d.fsCount = htole32(3);
    d.fs.intf = {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE,         0,    0, 2,
                 USB_CLASS_VENDOR_SPEC, USB_SUBCLASS_VENDOR_SPEC, 0xFF, 0};
    d.fs.in = bulk(1 | USB_DIR_IN);
    d.fs.out = bulk(2 | USB_DIR_OUT);
    Strings s{};
    s.head.magic = htole32(FUNCTIONFS_STRINGS_MAGIC);
    s.head.length = htole32(sizeof s);
    return ::write(ep0, &d, sizeof d) == static_cast<ssize_t>(sizeof d) &&
           ::write(ep0, &s, sizeof s) == static_cast<ssize_t>(sizeof s);
}

// Throws away what the chip holds and what the module has sent so far, before the request
// that asks for it is taken, so nothing sent after it is lost.
void purge() {
    const std::scoped_lock lock(g_chip);
    std::uint8_t junk[512];
    pollfd p{g_line, POLLIN, 0};
    while (::poll(&p, 1, 0) > 0 && ::read(g_line, junk, sizeof junk) > 0) {
    }
    g_held = 0;
}

void answer(int ep0, const usb_ctrlrequest& req) {
    const bool vendor = (req.bRequestType & USB_TYPE_MASK) == USB_TYPE_VENDOR;
    const auto value = le16toh(req.wValue);
    std::uint8_t buf[PACKET] = {};
    if ((req.bRequestType & USB_DIR_IN) != 0) {
        if (vendor && req.bRequest == REQ_GET_MODEM_STATUS) {
            buf[0] = MODEM_STATUS;
            buf[1] = LINE_STATUS;
        } else if (vendor && req.bRequest == REQ_GET_LATENCY) {
            buf[0] = static_cast<std::uint8_t>(g_latencyMs.load());
        } // anything else (EEPROM words included) reads as zeros
        (void)!::write(ep0, buf, std::min<std::size_t>(le16toh(req.wLength), sizeof buf));
        return;
    }
    if (vendor && req.bRequest == REQ_SET_LATENCY) {
        g_latencyMs = std::max(1, value & 0xFF);
        note("latency " + std::to_string(value & 0xFF));
    } else if (vendor && req.bRequest == REQ_RESET && value != RESET_PURGE_TX) {
        purge();
    }
    (void)!::read(ep0, buf, 0); // the status stage: the request is taken
}

void control(int ep0) {
    usb_functionfs_event ev[4];
    while (g_stop == 0) {
        const ssize_t n = ::read(ep0, ev, sizeof ev);
        if (n < 0 && errno != EINTR)
            return;
        for (ssize_t i = 0; i < n / static_cast<ssize_t>(sizeof ev[0]); ++i) {
            if (ev[i].type == FUNCTIONFS_SETUP)
                answer(ep0, ev[i].u.setup);
            else if (ev[i].type == FUNCTIONFS_ENABLE || ev[i].type == FUNCTIONFS_DISABLE) {
                g_powered = ev[i].type == FUNCTIONFS_ENABLE;
                note(g_powered ? "enable" : "disable");
            }
        }
    }
}

// The chip's receive side: what the module sends, in packets to the host.
void toHost(int epIn) {
    std::uint8_t packet[PACKET];
    auto timerStart = Clock::now();
    auto lineFree = timerStart;
    while (g_stop == 0) {
        if (!g_powered) {
            purge();
            std::this_thread::sleep_for(UNPLUGGED_RETRY);
            continue;
        }
        const auto due = timerStart + std::chrono::milliseconds(g_latencyMs.load());
        const auto now = Clock::now();
        std::size_t len = 0;
        {
            const std::scoped_lock lock(g_chip);
            len = 2 + g_held;
            std::copy_n(g_packet, len, packet);
        }
        if (len < PACKET && now < due) {
            pollfd p{g_line, POLLIN, 0};
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
            if (::poll(&p, 1, static_cast<int>(wait)) > 0) {
                // No more than the line can bring in before the timer runs out.
                const auto room = (due - std::max(lineFree, Clock::now())) / BYTE_TIME + 1;
                ssize_t n = 0;
                {
                    const std::scoped_lock lock(g_chip);
                    const auto want = std::clamp<std::size_t>(
                        static_cast<std::size_t>(std::max<decltype(room)>(room, 1)), 1,
                        PAYLOAD - g_held);
                    n = ::read(g_line, g_packet + 2 + g_held, want);
                    g_held += n > 0 ? static_cast<std::size_t>(n) : 0;
                }
                if (n > 0)
                    crossLine(lineFree, static_cast<std::size_t>(n));
            }
            continue;
        }
        {
            const std::scoped_lock lock(g_chip);
            g_held = 0;
        }
        if (::write(epIn, packet, len) < 0)
            std::this_thread::sleep_for(UNPLUGGED_RETRY); // unplugged: gone with the power
        timerStart = Clock::now();
    }
}

// The chip's transmit side: what the host sends goes to the module as it comes.
void fromHost(int epOut, int line) {
    std::uint8_t buf[512];
    auto lineFree = Clock::now();
    while (g_stop == 0) {
        const ssize_t n = ::read(epOut, buf, sizeof buf);
        if (n <= 0) {
            std::this_thread::sleep_for(UNPLUGGED_RETRY);
            continue;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(line, buf + done, static_cast<std::size_t>(n - done));
            if (w <= 0)
                break;
            done += w;
        }
        crossLine(lineFree, static_cast<std::size_t>(n));
    }
}

extern "C" void onSignal(int) {
    _exit(0);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: ftx_gadget FFS_DIR LOG [--table F] [--image F] [--blank-table F] "
                   "[--record F] [--stay-in-receiver] [--xm-OPTION VALUE]...\n",
                   stderr);
        return 2;
    }
    const std::string dir = argv[1];
    ModuleConfig cfg;
    for (int i = 3; i < argc; ++i) {
        const std::string_view a = argv[i];
        std::string* file = a == "--table"         ? &cfg.tablePath
                            : a == "--image"       ? &cfg.imagePath
                            : a == "--blank-table" ? &cfg.blankTablePath
                            : a == "--record"      ? &cfg.recordPath
                                                   : nullptr;
        if (a == "--stay-in-receiver") {
            cfg.stayInReceiver = true;
        } else if (a.starts_with("--xm-") && peerOptionTakesValue(a) && i + 1 < argc) {
            if (!parsePeerOption(a, argv[++i], cfg.peer))
                return 2;
        } else if (file != nullptr && i + 1 < argc) {
            *file = argv[++i];
        } else {
            std::fprintf(stderr, "ftx_gadget: bad argument '%s'\n", argv[i]);
            return 2;
        }
    }
    g_logFd = ::open(argv[2], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const int ep0 = ::open((dir + "/ep0").c_str(), O_RDWR | O_CLOEXEC);
    if (g_logFd < 0 || ep0 < 0 || !describe(ep0)) {
        std::fprintf(stderr, "ftx_gadget: cannot set up %s: %s\n", dir.c_str(),
                     std::strerror(errno));
        return 1;
    }
    const int epIn = ::open((dir + "/ep1").c_str(), O_RDWR | O_CLOEXEC);
    const int epOut = ::open((dir + "/ep2").c_str(), O_RDWR | O_CLOEXEC);
    int sv[2];
    if (epIn < 0 || epOut < 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        std::fprintf(stderr, "ftx_gadget: endpoints: %s\n", std::strerror(errno));
        return 1;
    }
    Module m;
    if (!moduleInit(m, std::move(cfg), sv[0]))
        return 1;
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    std::thread(control, ep0).detach();
    g_line = sv[1];
    std::thread(toHost, epIn).detach();
    std::thread(fromHost, epOut, sv[1]).detach();
    note("ready");
    return moduleRun(m, g_stop);
}
