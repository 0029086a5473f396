// pairvault internals: the run options, the fixed constants, and the run modes.
//
// main() parses the command line into RunOptions, opens the run log, chooses the device and
// hands over to exactly one mode. Each mode opens the module port itself, closes it again on
// every path after a successful open, and returns the run's exit value (1 success, -1 failure,
// -2 a command answered but never accepted). Nothing here closes the run log or stdout.
#pragma once

#include <cstdint>
#include <string>

// Fixed constants of the program.
inline constexpr const char* PROGRAM_WORD = "pairvault";
inline constexpr const char* DEFAULT_LOG_PATH = "/var/log/pairvault.log";
inline constexpr const char* HUB_PORT = "/dev/ttyS4";
inline constexpr unsigned RESTORE_SETTLE_S = 5;              // after every restore transfer
inline constexpr std::int64_t RESTORE_BYTES_PER_MIN = 61440; // for the duration estimate

inline constexpr const char* LABEL_REBOOT = "Reboot Command";
inline constexpr const char* LABEL_CREATE = "Create Network Command";
inline constexpr const char* LABEL_BACKUP = "Backup Command";
inline constexpr const char* LABEL_RESTORE = "Restore Command";
inline constexpr const char* LABEL_GATEWAY_ID = "Get gateway device ID";
inline constexpr const char* LABEL_FACTORY_RESET = "Factory reset";

struct RunOptions {
    bool reset = false;
    bool reboot = false;
    bool create = false;
    const char* backupFile = nullptr;
    const char* restoreFile = nullptr;
    std::string device; // empty until "-ohub" or discovery sets it
    const char* logValue = DEFAULT_LOG_PATH;
};

// Command line (cli.cpp).
// "ERROR: argument error" on stdout, then the usage text to the run log if one is open,
// otherwise to stdout.
void usage();
// 0, or -1 on a usage error (the caller then calls usage()).
[[nodiscard]] int parseArgs(int argc, char** argv, RunOptions& opt);
// Opens the run log and chooses the device; 0, or -1 after reporting why not.
[[nodiscard]] int setUpRun(RunOptions& opt, const char* startTime);

// Output helpers (cli.cpp). Every stdout line is flushed at once so that it keeps its place
// among the run-log lines when both reach the same terminal or file.
void printLine(const char* text);
void printOut(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Operations on the open, configured SERIAL_FD (backup_restore.cpp, reset.cpp).
[[nodiscard]] int restoreZigbee(const char* path);
[[nodiscard]] int backupZigbee(const char* path);
void restoreFileError(const char* path);
[[nodiscard]] int resetZigbee();
// Restores `path` on the open port, then reopens the port and reboots the module. 1 with the
// port open after an accepted reboot; -1 after a failure, reported on stdout, port closed.
[[nodiscard]] int restoreThenReboot(const std::string& device, const char* path);

// Run modes; each returns the exit value.
[[nodiscard]] int runControlMode(const RunOptions& opt);
[[nodiscard]] int runBackupMode(const RunOptions& opt);
[[nodiscard]] int runRestoreMode(const RunOptions& opt);
[[nodiscard]] int runResetMode(const RunOptions& opt);

// Opens `device` into SERIAL_FD and configures it; false when it cannot be opened (the link
// layer has logged why).
[[nodiscard]] bool openPort(const std::string& device);
