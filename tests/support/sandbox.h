// The shipped programs and the simulated module, run the way the end-to-end tests run them:
// the program in the sandbox runner (tools/sandbox), which shows it a pseudo-terminal as its
// port in a private mount namespace.
#pragma once

#include "tests/support/process.h"
#include "tests/support/tempdir.h"

#include <memory>
#include <string>
#include <vector>

// The built program `name` ("pairvault", "radioflash"; "sim" gives modulesim).
std::string programPath(const std::string& name);
extern const std::string kSandboxPath;

// For every sandboxed run: a sanitizer's own exit status (1) would pass for a program's status.
extern const std::vector<std::string> kSanitizerEnv;

// The sandbox's command line: /dev/<ttyName> is `pty` (none when empty), /var/log is `varLog`
// (created; the machine's own is hidden when empty), then `options`, "--" and `command`.
std::vector<std::string> sandboxArgv(const std::string& pty, const std::string& varLog,
                                     const std::vector<std::string>& options,
                                     const std::vector<std::string>& command,
                                     const std::string& ttyName = "ttyS4");

// The sandbox's command line for the shipped `program` with `args` (see sandboxArgv). `wrapper`,
// when given, is a command inside the sandbox that gets the program and its arguments as its
// last arguments.
std::vector<std::string> shippedArgv(const std::string& program, const std::string& pty,
                                     const std::string& varLog,
                                     const std::vector<std::string>& args,
                                     const std::vector<std::string>& sandboxOptions = {},
                                     const std::vector<std::string>& wrapper = {},
                                     const std::string& ttyName = "ttyS4");

// A USB-serial adapter as the sandbox shows it: /sys/bus/usb-serial/devices/<name>, and the
// vendor and product IDs "udevadm info /dev/<name>" prints.
struct FakeAdapter {
    std::string name, vendor, model;
};
// Adds `adapters` to <dir>/usb-serial and <dir>/udev; returns the sandbox options showing them.
std::vector<std::string> fakeAdapters(const TempDir& dir, const std::vector<FakeAdapter>& adapters);

// The sandbox exits 77 where it cannot make its namespace (no root, no user namespaces).
#define SKIP_WITHOUT_SANDBOX(result)                                                               \
    do {                                                                                           \
        if ((result).exitCode == 77)                                                               \
            GTEST_SKIP() << "the sandbox cannot run here";                                         \
    } while (0)

// The simulated module, recording into <dir>/sim.rec: on a pseudo-terminal of its own, or on
// `port` when one is given.
class SimModule {
public:
    SimModule(const TempDir& dir, const std::vector<std::string>& options,
              const std::string& port = "");
    bool started() const { return !pty.empty(); }
    std::string record() const { return readText(recordPath); }
    // Request frames the module received ("00 00 06 00 00 aa"), in order.
    std::vector<std::string> requests() const;
    BackgroundProcess& process() { return *proc_; }

    std::string pty; // the module's terminal: the program's port
    std::string recordPath;

private:
    std::unique_ptr<BackgroundProcess> proc_;
};
