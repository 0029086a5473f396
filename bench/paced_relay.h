// Two pseudo-terminals joined by a relay that moves bytes between their master sides at a
// serial line's pace, in both directions at once. A program under test opens one slave (by
// path, like a real port), its peer the other; to both it looks like a 115200 8N1 cable.
//
// Each direction has its own thread. A byte read from one master is delivered to the other no
// earlier than one byte-time after the byte before it, so a burst drains at exactly the line
// rate and an idle line delivers the next byte one byte-time after it was written.
//
// The `tap` hook sees every byte as it is delivered (with its delivery time); the `filter` hook
// may replace, drop or add bytes before delivery. Fault injection (drops, flips, duplicates,
// junk, stalls) plugs in there; the relay itself never alters the stream.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

enum class RelayDir { AtoB = 0, BtoA = 1 };

struct RelayOptions {
    double bytesPerSecond = 11520.0; // 115200 baud, 10 bits per byte; 0 = no pacing
    // Called on the relay thread for each byte read from the source side; the bytes left in
    // `out` (initially just `byte`) are delivered in its place.
    std::function<void(RelayDir dir, std::uint8_t byte, std::vector<std::uint8_t>& out)> filter;
    // Called on the relay thread for each byte written to the destination side.
    std::function<void(RelayDir dir, std::uint8_t byte, std::chrono::steady_clock::time_point at)>
        tap;
};

struct PacedRelay {
    std::string pathA; // slave side A: open it by path
    std::string pathB; // slave side B
    int slaveA = -1;   // kept open so neither master sees a hang-up between opens
    int slaveB = -1;
    std::atomic<std::uint64_t> delivered[2] = {0, 0};

    // Opens both pairs (raw mode) and starts relaying. `ok()` tells whether that worked.
    explicit PacedRelay(RelayOptions options = {});
    ~PacedRelay();
    PacedRelay(const PacedRelay&) = delete;
    PacedRelay& operator=(const PacedRelay&) = delete;

    bool ok() const { return masterA_ >= 0 && masterB_ >= 0; }
    // Stops both threads; bytes still in flight are dropped.
    void stop();
    // Unplugs the cable: stops relaying and closes both master sides, so that a program on
    // either slave reads end-of-file or EIO from then on and its writes fail, as when a USB
    // adapter is pulled out. Not to be called from a hook.
    void hangUp();

private:
    void run(RelayDir dir);
    RelayOptions options_;
    int masterA_ = -1;
    int masterB_ = -1;
    std::atomic<bool> stop_{false};
    std::thread threads_[2];
};

// A program started with its standard input and output on a terminal (stderr to `errPath`,
// or /dev/null when empty), in `cwd`, with extra environment entries ("NAME=value").
struct TtyProgram {
    int pid = -1;
    TtyProgram(const std::vector<std::string>& argv, int ttyFd, const std::string& cwd,
               const std::vector<std::string>& env = {}, const std::string& errPath = {});
    ~TtyProgram(); // kills and reaps it if still running
    TtyProgram(const TtyProgram&) = delete;
    TtyProgram& operator=(const TtyProgram&) = delete;
    // Waits up to `seconds`; returns the exit status (128 + signal), or -1 on timeout.
    int wait(double seconds);
};
