// Runs a program to completion for a test, capturing what it prints.
#pragma once

#include <string>
#include <vector>

struct ProcessResult {
    int exitCode = -1; // exit status, or 128 + signal number
    bool timedOut = false;
    std::string out;    // standard output
    std::string err;    // standard error
    double seconds = 0; // wall-clock time
};

// Runs argv[0] (looked up on PATH) with `argv`; `env` entries ("NAME=value") are added to or
// replace the inherited environment. Standard input is /dev/null. A run still going after
// `timeoutSeconds` is killed and reported as timed out.
ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env = {}, double timeoutSeconds = 120);

// As runProcess, except that standard error is the slave side of a fresh raw pseudo-terminal
// `columns` wide, the way a person at a terminal would see it; `err` is everything the program
// wrote to it, byte for byte (raw mode: no newline translation). With `outputStopped` the
// terminal's output is stopped from the start, as after Ctrl-S: a write to it blocks, or fails
// with EAGAIN when non-blocking.
ProcessResult runProcessOnTerminal(const std::vector<std::string>& argv,
                                   const std::vector<std::string>& env = {},
                                   double timeoutSeconds = 120, int columns = 100,
                                   bool outputStopped = false);

// True when lrzsz's sx and rx are on PATH.
bool haveLrzsz();

// A program started in the background (for example the simulated module); killed (SIGTERM)
// and reaped when the object goes.
struct BackgroundProcess {
    int pid = -1;
    int stdoutFd = -1; // read end of its standard output
    explicit BackgroundProcess(const std::vector<std::string>& argv,
                               const std::vector<std::string>& env = {});
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    // Reads one line of its standard output (without the newline), waiting up to `seconds`.
    // Returns false on timeout or end of output.
    bool readLine(std::string& line, double seconds = 10);
    // Sends SIGTERM and waits; returns the exit status as runProcess would.
    int stop();

private:
    std::string pending_;
};
