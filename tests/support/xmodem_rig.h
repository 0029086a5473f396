// Runs the XMODEM engine on the slave side of a real pseudo-terminal, opened and configured
// the way the tools do it, with the run log in a temporary file.
#pragma once

#include "link/serial.h"
#include "tests/support/pty_pair.h"
#include "tests/support/tempdir.h"
#include "xmodem/xmodem.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

struct EngineRig {
    PtyPair pty;
    TempDir dir;
    std::string logPath = dir / "run.log";

    EngineRig() {
        log_fp = std::fopen(logPath.c_str(), "w");
        SERIAL_FD = Open_Serial(pty.slavePath.c_str());
        SetComConf(SERIAL_FD);
    }
    ~EngineRig() {
        closeSerial();
        if (log_fp != nullptr)
            std::fclose(log_fp);
        log_fp = nullptr;
    }
    EngineRig(const EngineRig&) = delete;
    EngineRig& operator=(const EngineRig&) = delete;

    std::string log() const {
        std::fflush(log_fp);
        return readText(logPath);
    }
};

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

// The next byte on `fd` within `ms`, or -1.
inline int readByteWithin(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0 || (p.revents & POLLIN) == 0)
        return -1;
    std::uint8_t b = 0;
    return read(fd, &b, 1) == 1 ? b : -1;
}

// Exactly `n` bytes, each within `ms`; fewer on timeout.
inline std::vector<std::uint8_t> readBytes(int fd, std::size_t n, int ms = 2000) {
    std::vector<std::uint8_t> out;
    while (out.size() < n) {
        const int c = readByteWithin(fd, ms);
        if (c < 0)
            break;
        out.push_back(static_cast<std::uint8_t>(c));
    }
    return out;
}

// Every byte that arrives until the line has been quiet for `ms`.
inline std::vector<std::uint8_t> readUntilQuiet(int fd, int ms) {
    std::vector<std::uint8_t> out;
    for (int c; (c = readByteWithin(fd, ms)) >= 0;)
        out.push_back(static_cast<std::uint8_t>(c));
    return out;
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

inline void writeRaw(int fd, const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
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
        unsigned reg = 0;
        for (std::uint8_t v : payload) {
            reg ^= static_cast<unsigned>(v) << 8;
            for (int i = 0; i < 8; ++i)
                reg =
                    (reg & 0x8000U) != 0 ? ((reg << 1) ^ 0x1021U) & 0xFFFFU : (reg << 1) & 0xFFFFU;
        }
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

// `data` as the receiver ends up with it: whole 128-byte blocks, SUB then zeros after the data.
inline std::vector<std::uint8_t> withFill(std::vector<std::uint8_t> data, std::size_t block = 128) {
    const std::size_t blocks = data.size() / block + 1;
    const std::size_t n = data.size();
    data.resize(blocks * block, 0);
    data[n] = 0x1A;
    return data;
}

inline std::vector<std::uint8_t> pattern(std::size_t n, unsigned seed = 7) {
    std::vector<std::uint8_t> v(n);
    unsigned x = seed;
    for (auto& b : v) {
        x = x * 1103515245U + 12345U;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return v;
}
