// Command line of radioflash: the words it takes and the usage text.
#include "radioflash/radioflash.h"

#include "link/run_log.h"

#include <string_view>

constexpr const char* USAGE_TEXT =
    "USAGE: radioflash -f <firmware file> [-ohub] [-l <log file|stdout|stderr>]\n"
    "Please specify -ohub option for updating Orvane Hub.  Otherwise, output Zigbee device "
    "will be found automatically.\n";

int parseArgs(int argc, char* const* argv, RunOptions& opt) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        // Words that take a value consume the next argument whatever it looks like, so a file
        // may be called "-ohub".
        const bool takesValue = word == "-f" || word == "-file" || word == "-l" || word == "-log";
        if (takesValue) {
            if (i + 1 >= argc)
                return -1;
            const char* value = argv[++i];
            if (word == "-f" || word == "-file")
                opt.firmware = value;
            else
                opt.logValue = value;
        } else if (word == "-currentversion") {
            opt.currentVersion = true;
        } else if (word == "-ohub") {
            opt.onBoard = true;
        } else {
            return -1;
        }
    }
    return 0;
}

int usage() {
    printUsage(USAGE_TEXT);
    return EXIT_FAILURE_STATUS;
}
