// modulesim: plays the hub's Zigbee coordinator module on a pseudo-terminal, so that
// pairvault, radioflash and the scripts around them can be exercised without hardware.
#include "sim/module.h"
#include "sim/xmodem_peer.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace {

volatile std::sig_atomic_t g_stop = 0;

extern "C" void onSignal(int) {
    // A transfer can take many seconds to notice the host is gone; the record is written
    // line by line and files are replaced atomically, so leaving at once loses nothing.
    if (g_inTransfer != 0)
        _exit(0);
    g_stop = 1;
}

void usage(FILE* out) {
    std::fputs(
        "Usage: modulesim [OPTION]...\n"
        "Plays the hub's Zigbee coordinator module on a pseudo-terminal, so that pairvault,\n"
        "radioflash and scripts around them can be run without hardware. Prints the slave\n"
        "path of the terminal (e.g. /dev/pts/7) as the only line on standard output, then\n"
        "answers requests until SIGTERM or SIGINT.\n"
        "\n"
        "  --record FILE        append one line per event: \"RX <hex>\" request frame,\n"
        "                       \"TX <hex>\" bytes written, \"XM <text>\" XMODEM events ending\n"
        "                       with \"XM end <status>\", \"JUNK <hex>\" bytes outside frames\n"
        "  --table FILE         paired-device table: sent on backup (missing file = empty),\n"
        "                       replaced by a successful restore (default: 300 internal bytes\n"
        "                       00 01 02 ..., not saved)\n"
        "  --blank-table FILE   the table after an accepted factory reset (default: empty)\n"
        "  --image FILE         where a received firmware image is written\n"
        "  --port PATH          play the module on the existing terminal PATH (for example one\n"
        "                       end of a test line that misbehaves) instead of a new\n"
        "                       pseudo-terminal; PATH is still printed as the first line\n"
        "  --version A.B.C.D    firmware version, each part 0..15 (default 1.2.3.4)\n"
        "  --flashed-version A.B.C.D[,A.B.C.D...]\n"
        "                       the version after the first, second, ... firmware image\n"
        "                       received, the last one repeating (default: unchanged)\n"
        "  --gateway-id HEX     gateway ID bytes (default 0102030405060708)\n"
        "  --reply CODE=HOW[,HOW...]\n"
        "                       how to answer command CODE (two hex digits), one HOW per\n"
        "                       request in turn, the last one repeating:\n"
        "                         ok         the normal reply\n"
        "                         silent     no reply\n"
        "                         status:XX  the normal reply with status byte XX\n"
        "                         bytes:HEX  exactly these bytes\n"
        "                         late:MS    the normal reply after MS milliseconds\n"
        "                         split:MS   the normal reply in two writes MS ms apart\n"
        "                         short:N    the first N bytes of the normal reply\n"
        "                         dup        the normal reply twice in one write\n"
        "  --start-in-receiver  start in the firmware receiver, as a module whose update was\n"
        "                       cut short: it asks for an image (\"C\", or NAK with\n"
        "                       --xm-start checksum) until one arrives whole, and takes\n"
        "                       frames for line noise\n"
        "  --stay-in-receiver   an image transfer that does not complete leaves the module\n"
        "                       waiting in its receiver in the same way\n"
        "  --version-in-image   a firmware image received whole sets the version from its\n"
        "                       first two bytes (A.B, C.D: 0x12 0x34 is 1.2.3.4)\n"
        "  --ask-every MS       how often a receiver asks for a sender (default 1000)\n"
        "  --help               show this text and exit\n"
        "\n"
        "Commands: 01 version, 03 create network, 04 gateway ID, 06 reboot, 07 factory reset\n"
        "(accepted when its payload is the gateway ID), 09 backup (then XMODEM sender),\n"
        "0a restore (then XMODEM receiver), e0 update prepare, e1 update start (answers 'C',\n"
        "then XMODEM receiver). Other codes get no reply. XMODEM options apply to every\n"
        "transfer of the run.\n"
        "\n",
        out);
    std::fputs(peerOptionsUsage(), out);
}

bool badValue(std::string_view opt, std::string_view value) {
    std::fprintf(stderr, "modulesim: bad value for %.*s: '%.*s'\n", static_cast<int>(opt.size()),
                 opt.data(), static_cast<int>(value.size()), value.data());
    return false;
}

// Fills `cfg` from the command line; returns false after a complaint on stderr.
bool parseArgs(int argc, char** argv, ModuleConfig& cfg, std::string& port, bool& help) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::string_view value;
        bool hasValue = false;
        if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasValue = true;
        }
        if (arg == "--help") {
            help = true;
            return true;
        }
        if (arg == "--start-in-receiver" || arg == "--stay-in-receiver") {
            (arg == "--start-in-receiver" ? cfg.startInReceiver : cfg.stayInReceiver) = true;
            continue;
        }
        if (arg == "--version-in-image") {
            cfg.versionInImage = true;
            continue;
        }
        // Options naming a file, and where the name goes.
        const std::pair<std::string_view, std::string*> files[] = {
            {"--port", &port},
            {"--record", &cfg.recordPath},
            {"--table", &cfg.tablePath},
            {"--blank-table", &cfg.blankTablePath},
            {"--image", &cfg.imagePath}};
        std::string* file = nullptr;
        for (const auto& [name, target] : files)
            if (arg == name)
                file = target;
        const bool peer = arg.starts_with("--xm-");
        if (!peer && file == nullptr && arg != "--version" && arg != "--flashed-version" &&
            arg != "--gateway-id" && arg != "--reply" && arg != "--ask-every") {
            std::fprintf(stderr, "modulesim: unknown option '%s' (try --help)\n", argv[i]);
            return false;
        }
        if (!hasValue && (!peer || peerOptionTakesValue(arg))) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "modulesim: %s needs a value\n", argv[i]);
                return false;
            }
            value = argv[++i];
        }
        if (peer) {
            if (!parsePeerOption(arg, value, cfg.peer)) {
                std::fprintf(stderr, "modulesim: bad XMODEM option '%.*s' (try --help)\n",
                             static_cast<int>(arg.size()), arg.data());
                return false;
            }
        } else if (file != nullptr) {
            *file = value;
        } else if (arg == "--version") {
            if (!parseVersion(value, cfg))
                return badValue(arg, value);
        } else if (arg == "--flashed-version") {
            if (!parseFlashedVersions(value, cfg))
                return badValue(arg, value);
        } else if (arg == "--gateway-id") {
            Bytes id;
            if (!parseHexBytes(value, id) || id.empty() || id.size() > 255)
                return badValue(arg, value);
            cfg.gatewayId = std::move(id);
        } else if (arg == "--ask-every") {
            if (!parseAskInterval(value, cfg))
                return badValue(arg, value);
        } else if (!parseReplyOption(value, cfg)) {
            return badValue(arg, value);
        }
    }
    return true;
}

// Opens the terminal at `path` in raw mode for playing the module on; -1 on failure. Its far
// end belongs to someone else, so a hang-up there is theirs to cause (it is what a test line
// uses to unplug the host).
int openExistingTerminal(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    termios t{};
    if (::tcgetattr(fd, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

// Opens a pseudo-terminal and returns the master; `slave` (raw) stays open for the whole run
// so that the master never reads a hang-up while the host has the port closed.
int openTerminal(int& slave, std::string& slavePath) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
        return -1;
    const char* name = ::ptsname(master);
    if (name == nullptr)
        return -1;
    slavePath = name;
    slave = openExistingTerminal(slavePath);
    return slave < 0 ? -1 : master;
}

} // namespace

int main(int argc, char** argv) {
    ModuleConfig cfg;
    std::string port;
    bool help = false;
    if (!parseArgs(argc, argv, cfg, port, help))
        return 2;
    if (help) {
        usage(stdout);
        return 0;
    }

    int slave = -1;
    std::string slavePath;
    const int master = port.empty() ? openTerminal(slave, slavePath) : openExistingTerminal(port);
    if (master < 0) {
        std::fprintf(stderr, "modulesim: cannot open %s: %s\n",
                     port.empty() ? "a pseudo-terminal" : port.c_str(), std::strerror(errno));
        return 1;
    }
    if (!port.empty())
        slavePath = port;
    Module m;
    if (!moduleInit(m, std::move(cfg), master))
        return 1;

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: poll() must return so the loop sees the stop flag
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::printf("%s\n", slavePath.c_str());
    std::fflush(stdout);

    const int rc = moduleRun(m, g_stop);
    if (m.recordFd >= 0)
        ::close(m.recordFd);
    if (slave >= 0)
        ::close(slave);
    ::close(master);
    return rc;
}
