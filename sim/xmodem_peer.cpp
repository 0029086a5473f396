// The simulated module's XMODEM roles. Written apart from the tools' engine on purpose (only the
// CRC is shared), so that a fault in the engine is not mirrored here and hidden.
#include "sim/xmodem_peer.h"

#include "xmodem/xmodem.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace {

constexpr int BYTE_TIMEOUT_MS = 1000; // receiver: longest gap inside a block
constexpr int QUIET_MS = 200;         // receiver: quiet line before NAKing a damaged block
constexpr int CANCEL_TAIL_MS = 300;   // how long to collect the bytes after a cancel
constexpr int MAX_SENDS = 10;         // sender: sends of one block before giving up
constexpr int MAX_EOTS = 5;
constexpr std::uint8_t JUNK = '?';

using Clock = std::chrono::steady_clock;

// Next byte within `ms` milliseconds, or -1.
int readByte(int fd, int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() < 0)
            return -1;
        pollfd p{fd, POLLIN, 0};
        const int n = poll(&p, 1, static_cast<int>(left.count()));
        if (n < 0 && errno != EINTR)
            return -1;
        if (n > 0 && (p.revents & POLLIN) != 0) {
            std::uint8_t b = 0;
            if (read(fd, &b, 1) == 1)
                return b;
        }
        // A hang-up (no slave open) polls ready at once; do not spin on it.
        if (n > 0 && (p.revents & POLLIN) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void writeAll(int fd, const std::uint8_t* data, std::size_t len) {
    while (len > 0) {
        const ssize_t n = write(fd, data, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            return;
        }
        data += n;
        len -= static_cast<std::size_t>(n);
    }
}

void writeBytes(int fd, std::initializer_list<std::uint8_t> bytes) {
    writeAll(fd, bytes.begin(), bytes.size());
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string s;
    char b[4];
    for (std::uint8_t v : bytes) {
        std::snprintf(b, sizeof b, "%02x", v);
        if (!s.empty())
            s += ' ';
        s += b;
    }
    return s;
}

// `first` followed by every byte that arrives until the line has been quiet for `ms`.
std::vector<std::uint8_t> collectTail(int fd, int first, int ms) {
    std::vector<std::uint8_t> bytes;
    if (first >= 0)
        bytes.push_back(static_cast<std::uint8_t>(first));
    for (int c; (c = readByte(fd, ms)) >= 0;)
        bytes.push_back(static_cast<std::uint8_t>(c));
    return bytes;
}

void drainUntilQuiet(int fd, int ms) {
    collectTail(fd, -1, ms);
}

std::string describe(int c) {
    switch (c) {
    case ACK:
        return "ACK";
    case NAK:
        return "NAK";
    case CAN:
        return "CAN";
    case CRC_REQUEST:
        return "C";
    case EOT:
        return "EOT";
    case -1:
        return "timeout";
    default: {
        char b[16];
        std::snprintf(b, sizeof b, "0x%02x", static_cast<unsigned>(c) & 0xFFU);
        return b;
    }
    }
}

// ---- sender ----------------------------------------------------------------------------

int blockSizeFor(const PeerOptions& opt, int ordinal, std::size_t remaining) {
    switch (opt.blocks) {
    case PeerOptions::Blocks::Small:
        return XMODEM_BLOCK_128;
    case PeerOptions::Blocks::Large:
        // Like common senders: the tail goes in small blocks once less than 1 KiB is left.
        return remaining >= static_cast<std::size_t>(XMODEM_BLOCK_1K) ? XMODEM_BLOCK_1K
                                                                      : XMODEM_BLOCK_128;
    case PeerOptions::Blocks::Mixed:
        return ordinal % 2 == 1 && remaining >= static_cast<std::size_t>(XMODEM_BLOCK_1K)
                   ? XMODEM_BLOCK_1K
                   : XMODEM_BLOCK_128;
    }
    return XMODEM_BLOCK_128;
}

std::vector<std::uint8_t> makeBlock(std::uint8_t number, std::span<const std::uint8_t> chunk,
                                    int size, bool crc) {
    std::vector<std::uint8_t> b;
    b.reserve(static_cast<std::size_t>(size) + 5);
    b.push_back(size == XMODEM_BLOCK_1K ? STX : SOH);
    b.push_back(number);
    b.push_back(static_cast<std::uint8_t>(0xFF - number));
    b.insert(b.end(), chunk.begin(), chunk.end());
    if (chunk.size() < static_cast<std::size_t>(size)) {
        b.push_back(SUB);
        b.resize(static_cast<std::size_t>(size) + 3, 0);
    }
    const std::uint8_t* payload = b.data() + 3;
    if (crc) {
        const std::uint16_t sum = crc16_ccitt(payload, size);
        b.push_back(static_cast<std::uint8_t>(sum >> 8));
        b.push_back(static_cast<std::uint8_t>(sum & 0xFF));
    } else {
        unsigned sum = 0;
        for (int i = 0; i < size; ++i)
            sum += payload[i];
        b.push_back(static_cast<std::uint8_t>(sum & 0xFF));
    }
    return b;
}

void sendBlock(int fd, const std::vector<std::uint8_t>& block, int pauseMs) {
    if (pauseMs <= 0) {
        writeAll(fd, block.data(), block.size());
        return;
    }
    const std::size_t half = std::min<std::size_t>(block.size(), 13);
    writeAll(fd, block.data(), half);
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    writeAll(fd, block.data() + half, block.size() - half);
}

struct SendOutcome {
    enum Kind { Acked, Cancelled, GaveUp } kind = GaveUp;
};

// Sends `block` until it is acknowledged. `damage` spoils the first send only.
SendOutcome sendUntilAcked(int fd, const std::vector<std::uint8_t>& block, int ordinal,
                           const PeerOptions& opt, std::vector<std::uint8_t>* damaged,
                           PeerResult& r) {
    for (int sends = 0; sends < MAX_SENDS; ++sends) {
        const bool spoil = sends == 0 && damaged != nullptr;
        sendBlock(fd, spoil ? *damaged : block, opt.pauseAt == ordinal ? opt.pauseMs : 0);
        r.events.push_back("tx block " + std::to_string(ordinal) + " (" +
                           std::to_string(block.size()) + (spoil ? ", damaged)" : ")"));
        const int c = readByte(fd, opt.timeoutMs);
        r.events.push_back("rx " + describe(c));
        if (c == ACK)
            return {SendOutcome::Acked};
        if (c == CAN) {
            const auto tail = collectTail(fd, c, CANCEL_TAIL_MS);
            r.events.push_back("rx cancel: " + hex(tail));
            if (tail.size() >= 2 && tail[1] == CAN)
                return {SendOutcome::Cancelled};
        }
    }
    return {SendOutcome::GaveUp};
}

PeerResult finishWith(PeerResult r, int status) {
    r.status = status;
    r.events.push_back("end " + std::to_string(status));
    return r;
}

} // namespace

PeerResult peerSend(int fd, std::span<const std::uint8_t> data, const PeerOptions& opt) {
    PeerResult r;
    if (opt.silent) {
        drainUntilQuiet(fd, opt.timeoutMs);
        return finishWith(std::move(r), -2);
    }

    bool crc = false;
    const bool wantNak = opt.start != PeerOptions::Start::Crc;
    for (;;) {
        const int c = readByte(fd, opt.timeoutMs);
        if (c < 0)
            return finishWith(std::move(r), -2);
        r.events.push_back("rx " + describe(c));
        if (c == NAK || (c == CRC_REQUEST && !wantNak)) {
            crc = c == CRC_REQUEST;
            break;
        }
        // A receiver that gives up before it started says so with CAN CAN.
        if (c == CAN) {
            const auto tail = collectTail(fd, c, CANCEL_TAIL_MS);
            r.events.push_back("rx cancel: " + hex(tail));
            if (tail.size() >= 2 && tail[1] == CAN)
                return finishWith(std::move(r), -1);
        }
    }
    r.events.push_back(crc ? "mode crc" : "mode checksum");

    std::size_t offset = 0;
    int ordinal = 1;
    std::uint8_t number = 1;
    std::int32_t moved = 0;
    if (opt.zeroBlockFirst) {
        const std::vector<std::uint8_t> junk(XMODEM_BLOCK_128, 0x5A);
        const auto zero = makeBlock(0, junk, XMODEM_BLOCK_128, crc);
        if (sendUntilAcked(fd, zero, 0, opt, nullptr, r).kind != SendOutcome::Acked)
            return finishWith(std::move(r), -4);
    }
    while (!opt.eotFirst && (offset < data.size() || (data.empty() && ordinal == 1))) {
        if (opt.stopAt == ordinal) {
            r.events.push_back("stop");
            drainUntilQuiet(fd, opt.timeoutMs);
            return finishWith(std::move(r), -2);
        }
        if (opt.cancelAt == ordinal) {
            writeBytes(fd, {CAN, CAN});
            r.events.push_back("tx CAN CAN");
            r.events.push_back("rx after cancel: " + hex(collectTail(fd, -1, CANCEL_TAIL_MS)));
            return finishWith(std::move(r), -1);
        }
        if (opt.canJunkAt == ordinal) {
            writeBytes(fd, {CAN, JUNK});
            r.events.push_back("tx CAN junk");
        }
        const std::size_t remaining = data.size() - offset;
        const int size = blockSizeFor(opt, ordinal, remaining);
        const auto chunk =
            data.subspan(offset, std::min(remaining, static_cast<std::size_t>(size)));
        const auto block = makeBlock(number, chunk, size, crc);

        std::vector<std::uint8_t> damaged;
        if (opt.badComplementAt == ordinal) {
            damaged = block;
            damaged[2] ^= 0x01;
        } else if (opt.badNumberAt == ordinal) {
            damaged = makeBlock(static_cast<std::uint8_t>(number + 5), chunk, size, crc);
        } else if (opt.badCheckAt == ordinal) {
            damaged = block;
            damaged.back() ^= 0x01;
        }
        const auto sent =
            sendUntilAcked(fd, block, ordinal, opt, damaged.empty() ? nullptr : &damaged, r);
        if (sent.kind == SendOutcome::Cancelled)
            return finishWith(std::move(r), -1);
        if (sent.kind == SendOutcome::GaveUp) {
            writeBytes(fd, {CAN, CAN, CAN});
            return finishWith(std::move(r), -4);
        }
        if (opt.repeatAt == ordinal) {
            for (int i = 0; i < opt.repeatCount; ++i) {
                r.events.push_back("repeat");
                const auto again = sendUntilAcked(fd, block, ordinal, opt, nullptr, r);
                if (again.kind == SendOutcome::Cancelled)
                    return finishWith(std::move(r), -1);
                if (again.kind == SendOutcome::GaveUp)
                    return finishWith(std::move(r), -4);
            }
        }
        offset += chunk.size();
        moved += size;
        ++number;
        ++ordinal;
    }

    for (int eots = 0; eots < MAX_EOTS; ++eots) {
        writeBytes(fd, {EOT});
        r.events.push_back("tx EOT");
        const int c = readByte(fd, opt.timeoutMs);
        r.events.push_back("rx " + describe(c));
        if (c == ACK)
            return finishWith(std::move(r), moved);
        if (c == CAN) {
            const auto tail = collectTail(fd, c, CANCEL_TAIL_MS);
            r.events.push_back("rx cancel: " + hex(tail));
            if (tail.size() >= 2 && tail[1] == CAN)
                return finishWith(std::move(r), -1);
        }
    }
    return finishWith(std::move(r), -5);
}

// ---- receiver --------------------------------------------------------------------------

PeerResult peerReceive(int fd, const PeerOptions& opt) {
    PeerResult r;
    if (opt.silent) {
        drainUntilQuiet(fd, opt.timeoutMs);
        return finishWith(std::move(r), -2);
    }
    const std::uint8_t request = opt.start == PeerOptions::Start::Checksum ? NAK : CRC_REQUEST;
    bool crc = request == CRC_REQUEST;
    bool started = false;
    std::uint8_t expected = 1;
    int ordinal = 1;     // the next new block
    int sendsOfNext = 0; // sends seen of that block
    std::int32_t total = 0;
    int repeats = 0;
    std::vector<std::uint8_t> block(static_cast<std::size_t>(XMODEM_BUFFER_SIZE));

    auto waited = Clock::duration::zero();
    const auto askEvery = std::chrono::milliseconds(std::max(opt.askEveryMs, 1));
    auto nextAsk = Clock::now();
    for (;;) {
        // Asked again on the interval, not on every stray byte: a stranded receiver keeps its
        // own pace whatever the host writes.
        if (!started && (!opt.stranded || Clock::now() >= nextAsk)) {
            writeBytes(fd, {request});
            nextAsk = Clock::now() + askEvery;
        }
        const auto before = Clock::now();
        const auto untilAsk =
            std::chrono::duration_cast<std::chrono::milliseconds>(nextAsk - before).count();
        const int c = readByte(fd, started ? opt.timeoutMs : static_cast<int>(untilAsk));
        if (c < 0) {
            waited += Clock::now() - before;
            if (started || (!opt.stranded && waited >= std::chrono::milliseconds(opt.timeoutMs)))
                return finishWith(std::move(r), -2);
            continue;
        }
        if (c == EOT && !started && opt.stranded) {
            r.events.push_back("rx EOT before any block");
            writeBytes(fd, {NAK});
            continue;
        }
        if (c == EOT) {
            r.events.push_back("rx EOT");
            if (opt.noEotAck || opt.stopAt == ordinal)
                continue;
            writeBytes(fd, {ACK});
            return finishWith(std::move(r), total);
        }
        if (c == CAN) {
            const auto tail = collectTail(fd, c, CANCEL_TAIL_MS);
            r.events.push_back("rx cancel: " + hex(tail));
            if (tail.size() >= 2 && tail[1] == CAN)
                return finishWith(std::move(r), -1);
            continue;
        }
        if (c != SOH && c != STX) {
            r.events.push_back("rx junk " + describe(c));
            continue;
        }
        started = started || !opt.stranded;
        waited = Clock::duration::zero();
        const int size = c == STX ? XMODEM_BLOCK_1K : XMODEM_BLOCK_128;
        const std::size_t rest = static_cast<std::size_t>(size) + (crc ? 4 : 3);
        bool complete = true;
        for (std::size_t i = 0; i < rest && complete; ++i) {
            const int b = readByte(fd, BYTE_TIMEOUT_MS);
            complete = b >= 0;
            block[i] = static_cast<std::uint8_t>(b);
        }
        const std::uint8_t number = block[0];
        const std::uint8_t* payload = block.data() + 2;
        bool good = complete && number == static_cast<std::uint8_t>(0xFF - block[1]);
        if (good && crc) {
            const unsigned got = (unsigned{payload[size]} << 8) | payload[size + 1];
            good = crc16_ccitt(payload, size) == got;
        } else if (good) {
            unsigned sum = 0;
            for (int i = 0; i < size; ++i)
                sum += payload[i];
            good = (sum & 0xFF) == payload[size];
        }
        const bool isNew = good && number == expected;
        const bool isRepeat = good && number == static_cast<std::uint8_t>(expected - 1);
        r.events.push_back("rx block " + std::to_string(number) + " (" + std::to_string(size) +
                           (isNew      ? ", new)"
                            : isRepeat ? ", repeat)"
                                       : ", bad)"));
        started = started || isNew;
        if (!isNew && !isRepeat) {
            // A real module lets the rest of a damaged block pass before it asks again.
            drainUntilQuiet(fd, QUIET_MS);
            writeBytes(fd, {NAK});
            r.events.push_back("tx NAK");
            continue;
        }
        if (isNew)
            ++sendsOfNext;
        if (isNew && opt.stopAt == ordinal) {
            r.events.push_back("stop");
            drainUntilQuiet(fd, opt.timeoutMs);
            return finishWith(std::move(r), -2);
        }
        if (isNew && opt.cancelAt == ordinal) {
            writeBytes(fd, {CAN, CAN});
            r.events.push_back("tx CAN CAN");
            r.events.push_back("rx after cancel: " + hex(collectTail(fd, -1, CANCEL_TAIL_MS)));
            return finishWith(std::move(r), -1);
        }
        if (opt.pauseAt == ordinal && opt.pauseMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(opt.pauseMs));
        if (isNew && (opt.nakAll || (opt.nakFirstAt == ordinal && sendsOfNext == 1))) {
            writeBytes(fd, {NAK});
            r.events.push_back("tx NAK");
            continue;
        }
        if (isNew && opt.canJunkAt == ordinal && sendsOfNext == 1) {
            writeBytes(fd, {CAN, JUNK});
            r.events.push_back("tx CAN junk");
            continue;
        }
        if (isNew) {
            r.data.insert(r.data.end(), payload, payload + size);
            total += size;
            ++expected;
            if (opt.dupAckAt == ordinal) {
                writeBytes(fd, {ACK, ACK});
                r.events.push_back("tx ACK ACK");
            } else {
                writeBytes(fd, {ACK});
            }
            ++ordinal;
            sendsOfNext = 0;
            repeats = 0;
        } else {
            ++repeats;
            writeBytes(fd, {ACK});
        }
    }
}

// ---- options ---------------------------------------------------------------------------

namespace {

bool toInt(std::string_view s, int& out) {
    if (s.empty())
        return false;
    int v = 0;
    const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size() || v < 0)
        return false;
    out = v;
    return true;
}

// "N" or "N<sep>M".
bool toPair(std::string_view s, char sep, int& a, int& b) {
    const auto at = s.find(sep);
    if (at == std::string_view::npos)
        return toInt(s, a);
    return toInt(s.substr(0, at), a) && toInt(s.substr(at + 1), b);
}

// The --xm- knobs: a flag sets its member; a block number is stored in its member; the
// others (both null) are read below.
struct Knob {
    std::string_view name;
    bool PeerOptions::*flag;
    int PeerOptions::*number;
};

constexpr Knob KNOBS[] = {
    {"start", nullptr, nullptr},
    {"block", nullptr, nullptr},
    {"nak-all", &PeerOptions::nakAll, nullptr},
    {"nak-first", nullptr, &PeerOptions::nakFirstAt},
    {"cancel", nullptr, &PeerOptions::cancelAt},
    {"can-junk", nullptr, &PeerOptions::canJunkAt},
    {"repeat", nullptr, nullptr},
    {"dup-ack", nullptr, &PeerOptions::dupAckAt},
    {"bad-complement", nullptr, &PeerOptions::badComplementAt},
    {"bad-number", nullptr, &PeerOptions::badNumberAt},
    {"bad-check", nullptr, &PeerOptions::badCheckAt},
    {"zero-block", &PeerOptions::zeroBlockFirst, nullptr},
    {"eot-first", &PeerOptions::eotFirst, nullptr},
    {"silent", &PeerOptions::silent, nullptr},
    {"no-eot-ack", &PeerOptions::noEotAck, nullptr},
    {"pause", nullptr, nullptr},
    {"stop", nullptr, &PeerOptions::stopAt},
    {"timeout", nullptr, nullptr},
};

constexpr std::pair<std::string_view, PeerOptions::Start> START_WORDS[] = {
    {"crc", PeerOptions::Start::Crc},
    {"checksum", PeerOptions::Start::Checksum},
    {"ignore-c", PeerOptions::Start::IgnoreC}};
constexpr std::pair<std::string_view, PeerOptions::Blocks> BLOCK_WORDS[] = {
    {"128", PeerOptions::Blocks::Small},
    {"1024", PeerOptions::Blocks::Large},
    {"mixed", PeerOptions::Blocks::Mixed}};

// Sets `out` to the value `word` names in `words`; false when it names none.
template <typename E, std::size_t N>
bool pickWord(std::string_view word, const std::pair<std::string_view, E> (&words)[N], E& out) {
    for (const auto& [name, e] : words)
        if (word == name) {
            out = e;
            return true;
        }
    return false;
}

std::string_view bareName(std::string_view name) {
    if (name.starts_with("--"))
        name.remove_prefix(2);
    if (name.starts_with("xm-"))
        name.remove_prefix(3);
    return name;
}

} // namespace

bool peerOptionTakesValue(std::string_view name) {
    const auto bare = bareName(name.substr(0, name.find('=')));
    for (const auto& k : KNOBS)
        if (k.name == bare)
            return k.flag == nullptr;
    return false;
}

bool parsePeerOption(std::string_view name, std::string_view value, PeerOptions& opt) {
    if (!name.starts_with("--xm-"))
        return false;
    if (value.empty() && name.find('=') != std::string_view::npos) {
        value = name.substr(name.find('=') + 1);
        name = name.substr(0, name.find('='));
    }
    const auto n = bareName(name);
    for (const auto& k : KNOBS) {
        if (k.name == n && k.flag != nullptr) {
            if (!value.empty())
                return false;
            opt.*k.flag = true;
            return true;
        }
        if (k.name == n && k.number != nullptr)
            return toInt(value, opt.*k.number);
    }
    if (n == "start")
        return pickWord(value, START_WORDS, opt.start);
    if (n == "block")
        return pickWord(value, BLOCK_WORDS, opt.blocks);
    if (n == "repeat") {
        int count = 1;
        if (!toPair(value, 'x', opt.repeatAt, count) || count < 1)
            return false;
        opt.repeatCount = count;
    } else if (n == "pause") {
        int at = 0;
        int ms = 0;
        if (value.find(':') == std::string_view::npos || !toPair(value, ':', at, ms))
            return false;
        opt.pauseAt = at;
        opt.pauseMs = ms;
    } else if (n == "timeout") {
        int ms = 0;
        if (!toInt(value, ms) || ms == 0)
            return false;
        opt.timeoutMs = ms;
    } else
        return false;
    return true;
}

const char* peerOptionsUsage() {
    return "XMODEM knobs (N counts blocks from 1 in the order sent; values also as --xm-X=V):\n"
           "  --xm-start crc|checksum|ignore-c  receiver: first request \"C\" or NAK;\n"
           "                                    sender: checksum/ignore-c wait for NAK\n"
           "  --xm-block 128|1024|mixed         sender: block sizes (default 128)\n"
           "  --xm-nak-all                      receiver: NAK every block\n"
           "  --xm-nak-first N                  receiver: NAK the first send of block N\n"
           "  --xm-cancel N                     CAN CAN at block N\n"
           "  --xm-can-junk N                   a lone CAN and a junk byte at block N\n"
           "  --xm-repeat N[xK]                 sender: send block N again K times (1)\n"
           "  --xm-dup-ack N                    receiver: acknowledge block N twice\n"
           "  --xm-bad-complement N             sender: bad complement in block N (once)\n"
           "  --xm-bad-number N                 sender: wrong number in block N (once)\n"
           "  --xm-bad-check N                  sender: bad check bytes in block N (once)\n"
           "  --xm-zero-block                   sender: a block numbered 0 before block 1\n"
           "  --xm-eot-first                    sender: EOT instead of any block\n"
           "  --xm-silent                       never start, never answer\n"
           "  --xm-no-eot-ack                   receiver: never acknowledge EOT\n"
           "  --xm-pause N:MS                   sender: pause MS ms inside block N;\n"
           "                                    receiver: wait MS ms before answering it\n"
           "  --xm-stop N                       go silent at block N (once a run)\n"
           "  --xm-timeout MS                   longest wait for the other side (10000)\n";
}
