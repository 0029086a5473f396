// A pseudo-terminal pair for tests: the code under test opens or uses the slave side, the
// simulated peer works on the master side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct PtyPair {
    int master = -1;
    int slave = -1; // kept open so the master never sees a hang-up between opens
    std::string slavePath;

    PtyPair(); // raw mode on both sides; aborts the test program if no pty can be had
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;
};

// Raw reads and writes on a descriptor (usually the master side), as a peer does them.
// The next byte on `fd` within `ms`, or -1.
int readByteWithin(int fd, int ms);
// Exactly `n` bytes, each within `ms`; fewer on timeout.
std::vector<std::uint8_t> readBytes(int fd, std::size_t n, int ms = 2000);
// Every byte that arrives until the line has been quiet for `ms`.
std::vector<std::uint8_t> readUntilQuiet(int fd, int ms);
// All of `bytes`, unless a write fails.
void writeRaw(int fd, const std::vector<std::uint8_t>& bytes);
