// A serial line that misbehaves on purpose, and the rig that runs the shipped programs over it
// against the simulated module.
//
// The line is the paced relay of the benchmark (115200 8N1 pace) with a seeded fault model in
// its filter hook: the same seed and the same traffic give the same faults, so a failing run
// can be repeated. The program under test sits on side A (bound at /dev/ttyS4 in the sandbox),
// the simulated module on side B (modulesim --port).
#pragma once

#include "bench/paced_relay.h"
#include "tests/support/data.h"
#include "tests/support/sandbox.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

// What goes wrong on the line. Each byte, in either direction, is hit with probability `rate`
// by one of the enabled single-byte faults (picked at random among them); bursts and stalls
// have their own rates.
struct FaultPlan {
    std::uint64_t seed = 1;
    double rate = 0;
    bool drop = true;     // the byte is lost
    bool flip = true;     // one bit of it is inverted
    bool dup = true;      // it arrives twice
    bool junk = true;     // a random byte follows it
    double burstRate = 0; // the byte starts a burst of noise: it and the next 8..64 bytes are
                          // replaced by random bytes
    double stallRate = 0; // the line stops for `stallSeconds` before the byte
    double stallSeconds = 2.5;
    int maxStalls = 2; // per direction
};

enum FaultKind { F_DROP, F_FLIP, F_DUP, F_JUNK, F_BURST, F_STALL, F_UNPLUG, F_KINDS };

class FaultyLine {
public:
    explicit FaultyLine(const FaultPlan& plan);
    ~FaultyLine();
    FaultyLine(const FaultyLine&) = delete;
    FaultyLine& operator=(const FaultyLine&) = delete;

    bool ok() const { return relay_->ok(); }
    const std::string& hostPath() const { return relay_->pathA; }   // the program's port
    const std::string& modulePath() const { return relay_->pathB; } // the module's end
    // Pulls the plug once `bytes` have been delivered in direction `dir`.
    void unplugAfter(RelayDir dir, std::uint64_t bytes);
    bool unplugged() const { return unplugged_; }
    // Bytes delivered so far in direction `dir`, faults included.
    std::uint64_t delivered(RelayDir dir) const { return relay_->delivered[static_cast<int>(dir)]; }
    std::uint64_t faults() const;
    std::uint64_t count(FaultKind k) const { return counts_[k]; }

private:
    void filter(RelayDir dir, std::uint8_t byte, std::vector<std::uint8_t>& out);

    FaultPlan plan_;
    std::array<std::mt19937_64, 2> rng_;
    std::array<int, 2> burstLeft_{0, 0};
    std::array<int, 2> stalls_{0, 0};
    std::array<std::atomic<std::uint64_t>, F_KINDS> counts_{};
    std::atomic<bool> unplugged_{false};
    std::atomic<int> unplugDir_{-1}; // the direction whose count pulls the plug, once armed
    std::atomic<std::uint64_t> unplugBytes_{0};
    std::atomic<bool> stopWatch_{false};
    std::thread watcher_;
    std::unique_ptr<PacedRelay> relay_;
};

// A clean line at the serial pace, with the module on its far end.
struct Bench {
    TempDir dir;
    FaultyLine line{FaultPlan{}};
    std::unique_ptr<SimModule> sim;
    std::vector<std::uint8_t> table; // what the module hands out, when it was given one here

    // A non-empty `moduleTable` goes to <dir>/table.bin as the module's table; `keepImage`: the
    // module keeps the image it is sent in <dir>/image.bin.
    explicit Bench(std::vector<std::string> simOptions = {},
                   std::vector<std::uint8_t> moduleTable = {}, bool keepImage = false);
    bool ok() const { return line.ok() && sim->started(); }
    std::string log(const std::string& name) const { return readText(dir / ("varlog/" + name)); }
};

// One run of a shipped program in the sandbox (see shippedArgv), /dev/ttyS4 being `port` (none
// when empty) and /var/log being <dir>/varlog; `env` entries ("NAME=value") are added to its
// environment.
struct ToolRun : ProcessResult {
    double cpu = 0; // user + system seconds of the whole process tree
    bool sanitizerReport() const;
};

ToolRun runTool(const std::string& program, const TempDir& dir, const std::string& port,
                const std::vector<std::string>& args, double timeoutSeconds,
                const std::vector<std::string>& sandboxOptions = {},
                const std::vector<std::string>& wrapper = {},
                const std::vector<std::string>& env = {});

// The pid of the running `program` started (through the sandbox) by this test process, or -1.
int findTool(const std::string& program);
// Whether process `pid` has ended (gone, or a zombie).
bool gone(int pid);

// How many times `what` occurs in `text`.
int countOf(const std::string& text, const std::string& what);
// Polls `ready` until it holds (true) or `seconds` have passed (false).
bool waitFor(const std::function<bool()>& ready, double seconds);

// Figures of one scenario group.
struct Tally {
    std::string group;
    int runs = 0;
    std::uint64_t faults = 0;
    int successes = 0;
    int failures = 0; // reported failures (the specified words and status)
    int silent = 0;   // success words and status, wrong bytes
    int hangs = 0;    // beyond the time the retry budgets allow, or busy-looping
    double slowest = 0;
    // Prints "FAULTS <group> runs=... ..." and writes it to <build>/tests/faults/figures/<group>.
    void report() const;
};
