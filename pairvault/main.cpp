// pairvault: backs up, restores and factory-resets the paired-device data of the hub's Zigbee
// coordinator module. Exit status: 1 success, 255 failure, 254 a control command the module
// answered but never accepted.
#include "pairvault/pairvault_internal.h"

#include "link/interrupt.h"
#include "run/start.h"

int main(int argc, char** argv) {
    setUpProcess();
    RunOptions opt;
    if (parseArgs(argc, argv, opt) != 0)
        return usage();
    opt.device = startRun(opt.logValue, PROGRAM_WORD, opt.onBoard, "ERROR: cannot find port");
    if (opt.device == nullptr)
        return -1;

    // The first that applies: a control command beats a reset, and a reset with "-backup"
    // takes a blank backup rather than a plain one.
    if (opt.reboot || opt.create)
        return runControlMode(opt);
    if (opt.reset)
        return runResetMode(opt);
    if (opt.backupFile != nullptr)
        return runBackupMode(opt);
    if (opt.restoreFile != nullptr)
        return runRestoreMode(opt);
    return usage();
}
