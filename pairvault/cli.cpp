// Command line and run set-up.
#include "pairvault/pairvault_internal.h"

#include "link/run_log.h"

#include <string_view>

constexpr const char* USAGE_TEXT =
    "USAGE: pairvault -backup <file to backup> [-ohub] [-l <log file|stdout|stderr>]\n"
    "       pairvault -restore <file to restore> [-ohub] [-l <log file|stdout|stderr>]\n"
    "       pairvault -reset [-backup <blank backup file>] [-restore <blank backup file>] "
    "[-ohub] [-l <log file|stdout|stderr>]\n"
    "Backup, restore, or reset paired device information.\n"
    "When -reset used with -backup, to create blank backup file at intial startup or firmware "
    "udpate.\n"
    "When -reset used with -restore <blank backup file>, sensors are kept on network after "
    "reset.  Otherwise, sensors will leave from network.\n"
    "Please specify -ohub option for updating Orvane Hub.  Otherwise, output Zigbee device will "
    "be found automatically.\n";

int usage() {
    printUsage(USAGE_TEXT);
    return -1;
}

int parseArgs(int argc, char** argv, RunOptions& opt) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        // Words that take a value consume the next argument verbatim.
        const bool takesValue =
            word == "-backup" || word == "-restore" || word == "-l" || word == "-log";
        if (takesValue && i + 1 >= argc)
            return -1;
        if (word == "-reset") {
            opt.reset = true;
        } else if (word == "-reboot") {
            opt.reboot = true;
        } else if (word == "-create") {
            opt.create = true;
        } else if (word == "-ohub") {
            opt.onBoard = true;
        } else if (word == "-backup") {
            if (opt.restoreFile != nullptr)
                return -1;
            opt.backupFile = argv[++i];
        } else if (word == "-restore") {
            if (opt.backupFile != nullptr)
                return -1;
            opt.restoreFile = argv[++i];
        } else if (word == "-l" || word == "-log") {
            opt.logValue = argv[++i];
        } else {
            return -1;
        }
    }
    return 0;
}
