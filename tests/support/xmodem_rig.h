// The XMODEM engine on a real terminal, opened and configured the way the tools do it, with
// the run log in a temporary file; and the peer's side of the line for tests that play it by
// hand. Tests using it link the xmodem library.
#pragma once

#include "link/serial.h"
#include "sim/xmodem_peer.h"
#include "tests/support/data.h"
#include "tests/support/pty_pair.h"
#include "tests/support/tempdir.h"
#include "xmodem/xmodem.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

// The engine's port is `port`; the run log is <dir>/run.log.
struct XmodemRig {
    TempDir dir;
    std::string logPath = dir / "run.log";

    explicit XmodemRig(const std::string& port) {
        if (openRunLog(logPath.c_str(), "xmodem", "test") != 0)
            std::abort();
        SERIAL_FD = Open_Serial(port.c_str());
        SetComConf(SERIAL_FD);
    }
    ~XmodemRig() {
        closeSerial();
        closeRunLog();
    }
    XmodemRig(const XmodemRig&) = delete;
    XmodemRig& operator=(const XmodemRig&) = delete;

    std::string log() const {
        std::fflush(log_fp);
        return readText(logPath);
    }
};

// The engine on the slave side of a fresh pseudo-terminal; the test plays the peer on the
// master side.
struct EngineRig {
    PtyPair pty;
    XmodemRig engine{pty.slavePath};
    const TempDir& dir = engine.dir;
    std::string log() const { return engine.log(); }
};

// The events of the simulated peer's run that start with `prefix`.
inline long countEvents(const PeerResult& r, const std::string& prefix) {
    return std::count_if(r.events.begin(), r.events.end(),
                         [&](const std::string& e) { return e.starts_with(prefix); });
}

// Counts the lines of `text` equal to `line`.
inline int countLines(const std::string& text, const std::string& line) {
    int n = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        if (text.compare(at, end - at, line) == 0)
            ++n;
        at = end + 1;
    }
    return n;
}

// Everything the engine writes on the line until `done` is set, plus what follows until the
// line has been quiet for 300 ms.
inline std::future<std::vector<std::uint8_t>> recordLine(int fd, const std::atomic<bool>& done) {
    return std::async(std::launch::async, [fd, &done] {
        std::vector<std::uint8_t> bytes;
        while (!done) {
            const int c = readByteWithin(fd, 100);
            if (c >= 0)
                bytes.push_back(static_cast<std::uint8_t>(c));
        }
        const auto tail = readUntilQuiet(fd, 300);
        bytes.insert(bytes.end(), tail.begin(), tail.end());
        return bytes;
    });
}

// A block laid out by hand, independently of the engine (bitwise CRC).
inline std::vector<std::uint8_t> handBlock(std::uint8_t number, std::vector<std::uint8_t> payload,
                                           bool crc) {
    // Sized up front: growing a three-byte vector by insert trips a false -Warray-bounds in
    // g++ 12 at -O2.
    std::vector<std::uint8_t> b(3 + payload.size());
    b[0] = payload.size() == 1024 ? std::uint8_t{0x02} : std::uint8_t{0x01};
    b[1] = number;
    b[2] = static_cast<std::uint8_t>(255 - number);
    std::copy(payload.begin(), payload.end(), b.begin() + 3);
    if (crc) {
        const std::uint16_t reg = referenceCrc(payload.data(), payload.size());
        b.push_back(static_cast<std::uint8_t>(reg >> 8));
        b.push_back(static_cast<std::uint8_t>(reg & 0xFF));
    } else {
        unsigned sum = 0;
        for (std::uint8_t v : payload)
            sum += v;
        b.push_back(static_cast<std::uint8_t>(sum & 0xFF));
    }
    return b;
}
