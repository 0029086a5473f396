// pairvault internals: the run options, the fixed constants, and the run modes.
//
// main() parses the command line into RunOptions, opens the run log, chooses the device and
// hands over to exactly one mode. Each mode opens the module port itself, closes it again on
// every path after a successful open, and returns the run's exit value (1 success, -1 failure,
// -2 a command answered but never accepted). Nothing here closes the run log or stdout.
#pragma once

#include <cstddef>
#include <cstdint>

// Fixed constants of the program.
inline constexpr const char* PROGRAM_WORD = "pairvault";
inline constexpr const char* DEFAULT_LOG_PATH = "/var/log/pairvault.log";
inline constexpr unsigned RESTORE_SETTLE_S = 5;              // after every restore transfer
inline constexpr std::int64_t RESTORE_BYTES_PER_MIN = 61440; // for the duration estimate
inline constexpr std::size_t BACKUP_MEMORY_LIMIT = 64 << 20; // a backup received into memory
inline constexpr unsigned BACKUP_FILE_MODE = 0600; // a backup file the run creates: network keys
inline constexpr unsigned BACKUP_KEPT_MODE = 0777; // what a replaced backup file passes on
inline constexpr std::int64_t READBACK_UNIT = 128; // the read-back compares units of this size
// Between the target's name and the six random characters of a backup's temporary file:
// ".<name>.pairvault-partial.XXXXXX".
inline constexpr const char* TEMPORARY_MARK = ".pairvault-partial.";

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
    bool onBoard = false;         // "-ohub": the hub's on-board port, no discovery
    const char* device = nullptr; // the port, once chosen
    const char* logValue = DEFAULT_LOG_PATH;
};

// Command line (cli.cpp).
// printUsage with pairvault's usage text; returns -1, the exit value of a usage error.
int usage();
// 0, or -1 on a usage error (the caller then calls usage()).
[[nodiscard]] int parseArgs(int argc, char** argv, RunOptions& opt);

// Operations on the open, configured SERIAL_FD (backup_restore.cpp, reset.cpp).
[[nodiscard]] int restoreZigbee(const char* path);
[[nodiscard]] int backupZigbee(const char* path);
// backupZigbee in two steps, for a run that must know the target will take the backup before
// it tells the module anything: opening the target (logs "backup filename: <path>"; 0, or -1
// after the refusal lines), then receiving into it (1 or -1, as backupZigbee).
struct BackupTarget;
[[nodiscard]] int openBackupFile(const char* path, BackupTarget& target);
[[nodiscard]] int receiveBackup(const char* path, BackupTarget& target);
[[nodiscard]] int resetZigbee();
// Restores `path` on the open port, then reopens the port and reboots the module. 1 with the
// port open after an accepted reboot; -1 after a failure, reported on stdout, port closed.
[[nodiscard]] int restoreThenReboot(const char* device, const char* path);

// Logs "Preparing to <action> device <device>..." and opens the port (control.cpp); false
// when it did not open.
[[nodiscard]] bool prepareDevice(const char* action, const char* device);

// Run modes; each returns the exit value.
[[nodiscard]] int runControlMode(const RunOptions& opt);
[[nodiscard]] int runBackupMode(const RunOptions& opt);
[[nodiscard]] int runRestoreMode(const RunOptions& opt);
[[nodiscard]] int runResetMode(const RunOptions& opt);
