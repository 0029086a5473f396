// Runs the shipped pairvault end to end: the simulated module on a pseudo-terminal, the program
// in the sandbox runner with that terminal as its port.
#pragma once

#include "tests/support/sandbox.h"

#include <string>
#include <vector>

// The program's usage text, byte for byte.
extern const char* const kUsageText;

// Runs pairvault with `args` in the sandbox (see shippedArgv), /var/log being <dir>/varlog.
std::vector<std::string> pairvaultArgv(const TempDir& dir, const std::string& pty,
                                       const std::vector<std::string>& args);
ProcessResult runPairvault(const TempDir& dir, const std::string& pty,
                           const std::vector<std::string>& args,
                           const std::vector<std::string>& sandboxOptions = {},
                           const std::vector<std::string>& wrapper = {},
                           const std::string& ttyName = "ttyS4");

// A run whose timing matters: also measures the time from the module's first request frame to
// the end of the run, which leaves out the sandbox's start-up (slow on a loaded machine).
struct TimedRun {
    int exitCode = -1; // -1 when it had to be stopped
    std::string out;
    double afterFirstRequest = -1; // seconds; -1 when no request came
};
TimedRun runPairvaultTimed(const TempDir& dir, const SimModule& sim,
                           const std::vector<std::string>& args);

// The default run log of a sandboxed run.
std::string defaultLog(const TempDir& dir);
// A run log without its first (timestamped header) line.
std::string withoutHeader(const std::string& log);
// Whether `log` starts with a well-formed "pairvault: YYYY/MM/DD HH:MM:SS ZONE" header.
bool hasHeader(const std::string& log);
