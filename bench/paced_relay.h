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
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

enum class RelayDir { AtoB = 0, BtoA = 1 };

// A USB-serial adapter of the FT-X family (ftdi_sio) between side A, the program's port, and the
// line; side B stays a plain UART. The model, in full:
//  - Program -> line: bytes written on side A leave the host in the next USB frame (1 ms grid)
//    and then go onto the line at its pace.
//  - Line -> program: each byte that has come off the line is held in the chip. The chip sends
//    a packet when it holds `packetPayload` bytes (62: a 64-byte bulk packet less the two
//    modem-status bytes), or when its latency timer expires, whatever it holds (an empty
//    status-only packet when nothing). Every packet restarts the timer. The timer is
//    `latencyTimer` (16 ms, the chip's default), or `lowLatencyTimer` (1 ms, what ftdi_sio
//    programs) while `lowLatency()` says the program's port has ASYNC_LOW_LATENCY set; a
//    change takes effect at once. A packet reaches the program at the next frame boundary.
// What it leaves out: several transactions in one frame and the host controller's polling
// within a frame; the chip's 512-byte buffers and USB flow control (the line is the slower
// side, so they never fill); the driver's and the tty layer's own hand-over time; modem
// status, break and error reporting; the event character. It is an instrument for the
// latency that matters to stop-and-wait transfers, not a cycle-exact chip.
struct AdapterModel {
    bool enabled = false;
    std::chrono::microseconds frame{1000};
    std::size_t packetPayload = 62;
    std::chrono::microseconds latencyTimer{16000};
    std::chrono::microseconds lowLatencyTimer{1000};
    std::function<bool()> lowLatency; // none: the flag is never set
};

struct RelayOptions {
    double bytesPerSecond = 11520.0; // 115200 baud, 10 bits per byte; 0 = no pacing
    // Called on the relay thread for each byte read from the source side; the bytes left in
    // `out` (initially just `byte`) are delivered in its place.
    std::function<void(RelayDir dir, std::uint8_t byte, std::vector<std::uint8_t>& out)> filter;
    // Called on the relay thread for each byte written to the destination side.
    std::function<void(RelayDir dir, std::uint8_t byte, std::chrono::steady_clock::time_point at)>
        tap;
    AdapterModel adapter; // on side A, when enabled
};

struct PacedRelay {
    std::string pathA; // slave side A: open it by path
    std::string pathB; // slave side B
    int slaveA = -1;   // kept open so neither master sees a hang-up between opens
    int slaveB = -1;
    // Closes side A's slave for good: the shipped programs refuse a port another process
    // holds, so a side they open is left to them (the relay sits out the hang-ups between).
    void releaseSlaveA();
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
    std::chrono::steady_clock::time_point epoch_ = std::chrono::steady_clock::now(); // frame grid
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
