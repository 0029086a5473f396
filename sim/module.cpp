#include "sim/module.h"

#include "link/frames.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

volatile std::sig_atomic_t g_inTransfer = 0;

namespace {

using Clock = std::chrono::steady_clock;

// A frame that has not been completed after this long of a quiet line never will be: the
// tools write each request with one write().
constexpr auto STALE_PARTIAL = std::chrono::milliseconds(200);
constexpr std::size_t READ_CHUNK = 4096;
constexpr std::size_t INTERNAL_TABLE_SIZE = 300;
constexpr std::uint8_t STATUS_REFUSED = 0x01;
constexpr std::uint8_t XMODEM_CRC_REQUEST = 'C';
constexpr std::size_t GATEWAY_ID_LEN = 8; // the part a factory reset request must carry

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parseUnsigned(std::string_view s, unsigned long max, unsigned long& out) {
    if (s.empty())
        return false;
    const auto* end = s.data() + s.size();
    auto [ptr, ec] = std::from_chars(s.data(), end, out);
    return ec == std::errc() && ptr == end && out <= max;
}

bool parseReplyPlan(std::string_view s, ReplyPlan& plan) {
    const auto colon = s.find(':');
    const std::string_view word = s.substr(0, colon);
    const std::string_view arg = colon == std::string_view::npos ? "" : s.substr(colon + 1);
    const bool hasArg = colon != std::string_view::npos;
    unsigned long n = 0;
    if (word == "ok" && !hasArg) {
        plan.kind = ReplyPlan::Kind::Ok;
    } else if (word == "silent" && !hasArg) {
        plan.kind = ReplyPlan::Kind::Silent;
    } else if (word == "dup" && !hasArg) {
        plan.kind = ReplyPlan::Kind::Dup;
    } else if (word == "status") {
        Bytes b;
        if (!parseHexBytes(arg, b) || b.size() != 1)
            return false;
        plan.kind = ReplyPlan::Kind::Status;
        plan.status = b[0];
    } else if (word == "bytes") {
        if (!parseHexBytes(arg, plan.raw))
            return false;
        plan.kind = ReplyPlan::Kind::Raw;
    } else if (word == "late" || word == "split") {
        if (!parseUnsigned(arg, 600000, n))
            return false;
        plan.kind = word == "late" ? ReplyPlan::Kind::Late : ReplyPlan::Kind::Split;
        plan.ms = static_cast<unsigned>(n);
    } else if (word == "short") {
        if (!parseUnsigned(arg, 65535, n))
            return false;
        plan.kind = ReplyPlan::Kind::Short;
        plan.count = n;
    } else {
        return false;
    }
    return true;
}

Bytes statusReply(std::uint8_t code, std::uint8_t status) {
    return {0x00, REPLY_DIRECTION, code, REPLY_TYPE, STATUS_LEN, status, FRAME_END};
}

bool writeAll(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// Replaces `path` with `data` so that a reader sees the old or the new content, never a
// half-written file. Terminating signals are held off meanwhile so no temporary is left.
bool replaceFile(const std::string& path, std::span<const std::uint8_t> data) {
    sigset_t block;
    sigset_t old;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGINT);
    sigprocmask(SIG_BLOCK, &block, &old);
    const std::string tmp = path + ".modulesim-tmp";
    bool ok = false;
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ok = writeAll(fd, data.data(), data.size());
        ok = ::close(fd) == 0 && ok;
        if (ok)
            ok = ::rename(tmp.c_str(), path.c_str()) == 0;
        if (!ok)
            ::unlink(tmp.c_str());
    }
    if (!ok)
        std::fprintf(stderr, "modulesim: cannot write %s: %s\n", path.c_str(),
                     std::strerror(errno));
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return ok;
}

Bytes loadFile(const std::string& path) {
    Bytes data;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return data;
    std::uint8_t chunk[READ_CHUNK];
    for (;;) {
        const ssize_t r = ::read(fd, chunk, sizeof chunk);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        data.insert(data.end(), chunk, chunk + r);
    }
    ::close(fd);
    return data;
}

enum class Transfer { None, SendTable, ReceiveTable, ReceiveImage };

// Reads whatever the host sends while the module is busy, so that a host flushing its
// output (the tools discard unsent output before every request) loses nothing.
void collectFor(Module& m, std::chrono::milliseconds wait, const volatile std::sig_atomic_t& stop) {
    const auto until = Clock::now() + wait;
    while (stop == 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0)
            return;
        pollfd p{m.masterFd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left));
        if (r > 0 && (p.revents & POLLIN) != 0) {
            std::uint8_t chunk[READ_CHUNK];
            const ssize_t n = ::read(m.masterFd, chunk, sizeof chunk);
            if (n > 0)
                m.rxBuf.insert(m.rxBuf.end(), chunk, chunk + n);
        } else if (r > 0) {
            ::usleep(10000); // hang-up without data: avoid spinning until the time is up
        }
    }
}

void transmit(Module& m, std::span<const std::uint8_t> bytes) {
    if (bytes.empty())
        return;
    if (!writeAll(m.masterFd, bytes.data(), bytes.size())) {
        std::fprintf(stderr, "modulesim: write: %s\n", std::strerror(errno));
        return;
    }
    m.record("TX " + hexBytes(bytes));
}

// One transfer; a stranded receiver is one left waiting for an image (see PeerOptions).
PeerResult transferOnce(Module& m, Transfer t, bool stranded) {
    if (!m.rxBuf.empty()) {
        // Bytes the host sent before the transfer began are not part of it.
        m.record("JUNK " + hexBytes(m.rxBuf));
        m.rxBuf.clear();
    }
    PeerResult res;
    PeerOptions peer = m.cfg.peer;
    peer.stranded = stranded;
    if (stranded)
        m.record("XM waiting for a firmware image");
    g_inTransfer = 1;
    if (t == Transfer::SendTable) {
        const Bytes table = m.cfg.tablePath.empty() ? m.internalTable : loadFile(m.cfg.tablePath);
        res = peerSend(m.masterFd, table, peer);
    } else {
        res = peerReceive(m.masterFd, peer);
    }
    g_inTransfer = 0;
    for (const auto& e : res.events)
        m.record("XM " + e);
    if (res.events.empty() || !res.events.back().starts_with("end "))
        m.record("XM end " + std::to_string(res.status));
    // The line dies once: later transfers of the run go through.
    if (std::ranges::find(res.events, "stop") != res.events.end())
        m.cfg.peer.stopAt = 0;
    return res;
}

// A transfer and what it changes. With stayInReceiver a firmware image that did not arrive whole
// leaves the module in its receiver (its old image is already gone), waiting for the next one
// for as long as it takes.
void runTransfer(Module& m, Transfer t, bool stranded, const volatile std::sig_atomic_t& stop) {
    PeerResult res = transferOnce(m, t, stranded);
    while (res.status <= 0 && t == Transfer::ReceiveImage && m.cfg.stayInReceiver && stop == 0)
        res = transferOnce(m, t, true);
    if (res.status <= 0)
        return;
    if (t == Transfer::ReceiveTable) {
        if (m.cfg.tablePath.empty())
            m.internalTable = res.data;
        else
            replaceFile(m.cfg.tablePath, res.data);
    } else if (t == Transfer::ReceiveImage) {
        if (!m.cfg.imagePath.empty())
            replaceFile(m.cfg.imagePath, res.data);
        // The module now runs the new firmware, which may report another version.
        const auto& versions = m.cfg.flashedVersions;
        if (m.cfg.versionInImage && res.data.size() >= 2) {
            m.cfg.versionHi = res.data[0];
            m.cfg.versionLo = res.data[1];
        } else if (!versions.empty()) {
            const auto& v = versions[std::min(m.imagesReceived, versions.size() - 1)];
            m.cfg.versionLo = v.first;
            m.cfg.versionHi = v.second;
        }
        ++m.imagesReceived;
    }
}

void factoryReset(Module& m) {
    const Bytes blank = m.cfg.blankTablePath.empty() ? Bytes{} : loadFile(m.cfg.blankTablePath);
    if (m.cfg.tablePath.empty())
        m.internalTable = blank;
    else
        replaceFile(m.cfg.tablePath, blank);
}

void handleFrame(Module& m, const Frame& f, const volatile std::sig_atomic_t& stop) {
    m.record("RX " + hexBytes(f.raw));
    const auto& plans = m.cfg.replies[f.code];
    std::size_t& count = m.requestCount[f.code];
    ReplyPlan plan;
    if (!plans.empty())
        plan = plans[std::min(count, plans.size() - 1)];
    ++count;

    Bytes reply = normalReply(m.cfg, f);
    using K = ReplyPlan::Kind;
    if (plan.kind == K::Status && !reply.empty())
        reply[reply.size() == 1 ? 0 : 5] = plan.status;

    // Whether the module, having answered, does what an accepted command makes it do.
    const bool whole = plan.kind == K::Ok || plan.kind == K::Late || plan.kind == K::Split ||
                       plan.kind == K::Dup || plan.kind == K::Status;
    const bool isFrame = reply.size() > 5;
    const bool accepted = whole && !reply.empty() &&
                          (isFrame ? reply[5] == STATUS_ACCEPTED : reply[0] == XMODEM_CRC_REQUEST);

    switch (plan.kind) {
    case K::Silent:
        break;
    case K::Raw:
        transmit(m, plan.raw);
        break;
    case K::Short:
        transmit(m, std::span(reply).first(std::min(plan.count, reply.size())));
        break;
    case K::Late:
        collectFor(m, std::chrono::milliseconds(plan.ms), stop);
        transmit(m, reply);
        break;
    case K::Split: {
        const std::size_t half = reply.size() < 2 ? reply.size() : reply.size() / 2;
        transmit(m, std::span(reply).first(half));
        collectFor(m, std::chrono::milliseconds(plan.ms), stop);
        transmit(m, std::span(reply).subspan(half));
        break;
    }
    case K::Dup: {
        Bytes twice = reply;
        twice.insert(twice.end(), reply.begin(), reply.end());
        transmit(m, twice);
        break;
    }
    case K::Ok:
    case K::Status:
        transmit(m, reply);
        break;
    }
    if (!accepted || stop != 0)
        return;
    switch (f.code) {
    case CMD_FACTORY_RESET:
        factoryReset(m);
        break;
    case CMD_BACKUP:
        runTransfer(m, Transfer::SendTable, false, stop);
        break;
    case CMD_RESTORE:
        runTransfer(m, Transfer::ReceiveTable, false, stop);
        break;
    case CMD_UPDATE_START:
        runTransfer(m, Transfer::ReceiveImage, false, stop);
        break;
    default:
        break;
    }
}

// Cuts every whole frame out of the receive buffer and answers it; reports junk on the way.
void processBuffer(Module& m, const volatile std::sig_atomic_t& stop) {
    while (!m.rxBuf.empty() && stop == 0) {
        const ScanResult s = scanFrames(m.rxBuf);
        if (s.junk > 0) {
            m.record("JUNK " + hexBytes(std::span(m.rxBuf).first(s.junk)));
            m.rxBuf.erase(m.rxBuf.begin(), m.rxBuf.begin() + static_cast<long>(s.junk));
        }
        if (s.frameLen == 0)
            return;
        Frame f;
        f.raw.assign(m.rxBuf.begin(), m.rxBuf.begin() + static_cast<long>(s.frameLen));
        m.rxBuf.erase(m.rxBuf.begin(), m.rxBuf.begin() + static_cast<long>(s.frameLen));
        f.code = f.raw[2];
        f.payload.assign(f.raw.begin() + 5, f.raw.end() - 1);
        handleFrame(m, f, stop);
    }
}

} // namespace

std::string hexBytes(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0)
            s += ' ';
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 0x0F];
    }
    return s;
}

ScanResult scanFrames(std::span<const std::uint8_t> buf) {
    const std::size_t n = buf.size();
    std::size_t firstPartial = n;
    for (std::size_t i = 0; i < n; ++i) {
        // Test each header byte that has arrived; a missing byte cannot rule a frame out.
        if (buf[i] != 0x00)
            continue;
        if (i + 1 < n && buf[i + 1] != 0x00)
            continue;
        if (i + 3 < n && buf[i + 3] != 0x00)
            continue;
        if (i + 4 >= n) {
            firstPartial = std::min(firstPartial, i);
            continue;
        }
        const std::size_t len = std::size_t{buf[i + 4]} + FRAME_OVERHEAD;
        if (i + len > n) {
            firstPartial = std::min(firstPartial, i);
            continue;
        }
        if (buf[i + len - 1] == FRAME_END)
            return {i, len, false};
    }
    return {firstPartial, 0, firstPartial < n};
}

bool parseHexBytes(std::string_view value, Bytes& out) {
    out.clear();
    if (value.size() % 2 != 0)
        return false;
    for (std::size_t i = 0; i < value.size(); i += 2) {
        const int hi = hexDigit(value[i]);
        const int lo = hexDigit(value[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    return true;
}

bool parseVersion(std::string_view value, ModuleConfig& cfg) {
    unsigned nibbles[4];
    for (int i = 0; i < 4; ++i) {
        const auto dot = value.find('.');
        if ((dot == std::string_view::npos) != (i == 3))
            return false;
        unsigned long v = 0;
        if (!parseUnsigned(value.substr(0, dot), 15, v))
            return false;
        nibbles[i] = static_cast<unsigned>(v);
        value = i == 3 ? std::string_view{} : value.substr(dot + 1);
    }
    cfg.versionHi = static_cast<std::uint8_t>(nibbles[0] << 4 | nibbles[1]);
    cfg.versionLo = static_cast<std::uint8_t>(nibbles[2] << 4 | nibbles[3]);
    return true;
}

bool parseAskInterval(std::string_view value, ModuleConfig& cfg) {
    unsigned long ms = 0;
    if (!parseUnsigned(value, 600000, ms) || ms == 0)
        return false;
    cfg.peer.askEveryMs = static_cast<int>(ms);
    return true;
}

bool parseFlashedVersions(std::string_view value, ModuleConfig& cfg) {
    ModuleConfig one;
    std::vector<std::pair<std::uint8_t, std::uint8_t>> versions;
    for (;;) {
        const auto comma = value.find(',');
        if (!parseVersion(value.substr(0, comma), one))
            return false;
        versions.emplace_back(one.versionLo, one.versionHi);
        if (comma == std::string_view::npos)
            break;
        value = value.substr(comma + 1);
    }
    cfg.flashedVersions = std::move(versions);
    return true;
}

bool parseReplyOption(std::string_view value, ModuleConfig& cfg) {
    const auto eq = value.find('=');
    if (eq == std::string_view::npos)
        return false;
    Bytes code;
    if (!parseHexBytes(value.substr(0, eq), code) || code.size() != 1)
        return false;
    std::vector<ReplyPlan> plans;
    std::string_view rest = value.substr(eq + 1);
    for (;;) {
        const auto comma = rest.find(',');
        ReplyPlan plan;
        if (!parseReplyPlan(rest.substr(0, comma), plan))
            return false;
        plans.push_back(std::move(plan));
        if (comma == std::string_view::npos)
            break;
        rest = rest.substr(comma + 1);
    }
    cfg.replies[code[0]] = std::move(plans);
    return true;
}

Bytes normalReply(const ModuleConfig& cfg, const Frame& frame) {
    switch (frame.code) {
    case CMD_GET_VERSION:
        return {0x00, REPLY_DIRECTION, CMD_GET_VERSION, REPLY_TYPE,
                0x02, cfg.versionLo,   cfg.versionHi,   FRAME_END};
    case CMD_GET_GATEWAY_ID: {
        Bytes r{0x00, REPLY_DIRECTION, CMD_GET_GATEWAY_ID, REPLY_TYPE,
                static_cast<std::uint8_t>(cfg.gatewayId.size())};
        r.insert(r.end(), cfg.gatewayId.begin(), cfg.gatewayId.end());
        r.push_back(FRAME_END);
        return r;
    }
    case CMD_FACTORY_RESET: {
        const std::size_t idLen = std::min(GATEWAY_ID_LEN, cfg.gatewayId.size());
        const bool match =
            frame.payload.size() == idLen &&
            std::equal(frame.payload.begin(), frame.payload.end(), cfg.gatewayId.begin());
        return statusReply(CMD_FACTORY_RESET, match ? STATUS_ACCEPTED : STATUS_REFUSED);
    }
    case CMD_CREATE_NETWORK:
    case CMD_REBOOT:
    case CMD_BACKUP:
    case CMD_RESTORE:
    case CMD_UPDATE_PREPARE:
        return statusReply(frame.code, STATUS_ACCEPTED);
    case CMD_UPDATE_START:
        return {XMODEM_CRC_REQUEST};
    default:
        return {};
    }
}

void Module::record(std::string_view line) const {
    if (recordFd < 0)
        return;
    std::string s(line);
    s += '\n';
    writeAll(recordFd, reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

bool moduleInit(Module& m, ModuleConfig cfg, int masterFd) {
    m.cfg = std::move(cfg);
    m.masterFd = masterFd;
    m.internalTable.resize(INTERNAL_TABLE_SIZE);
    for (std::size_t i = 0; i < INTERNAL_TABLE_SIZE; ++i)
        m.internalTable[i] = static_cast<std::uint8_t>(i & 0xFF);
    if (!m.cfg.recordPath.empty()) {
        m.recordFd =
            ::open(m.cfg.recordPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (m.recordFd < 0) {
            std::fprintf(stderr, "modulesim: cannot open %s: %s\n", m.cfg.recordPath.c_str(),
                         std::strerror(errno));
            return false;
        }
    }
    return true;
}

int moduleRun(Module& m, const volatile std::sig_atomic_t& stop) {
    if (m.cfg.startInReceiver)
        runTransfer(m, Transfer::ReceiveImage, true, stop);
    auto lastRx = Clock::now();
    int failures = 0;
    while (stop == 0) {
        const bool partial = !m.rxBuf.empty();
        pollfd p{m.masterFd, POLLIN, 0};
        const int r = ::poll(&p, 1, partial ? 50 : 500);
        if (r < 0 && errno != EINTR) {
            std::fprintf(stderr, "modulesim: poll: %s\n", std::strerror(errno));
            return 1;
        }
        if (r > 0 && (p.revents & POLLIN) != 0) {
            std::uint8_t chunk[READ_CHUNK];
            const ssize_t n = ::read(m.masterFd, chunk, sizeof chunk);
            if (n > 0) {
                m.rxBuf.insert(m.rxBuf.end(), chunk, chunk + n);
                lastRx = Clock::now();
                failures = 0;
            } else if (n < 0 && errno != EINTR && errno != EAGAIN && ++failures > 100) {
                std::fprintf(stderr, "modulesim: read: %s\n", std::strerror(errno));
                return 1;
            }
        } else if (r > 0) {
            // POLLHUP/POLLERR without data: cannot happen while our own slave descriptor is
            // open, but never spin on it.
            ::usleep(10000);
        }
        processBuffer(m, stop);
        if (!m.rxBuf.empty() && Clock::now() - lastRx > STALE_PARTIAL) {
            m.record("JUNK " + hexBytes(m.rxBuf));
            m.rxBuf.clear();
        }
    }
    return 0;
}
