// Command line of radioflash: the words it takes, the usage text and the report of a bad image.
#include "radioflash/radioflash.h"

#include "link/serial.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr const char* USAGE_TEXT =
    "USAGE: radioflash -f <firmware file> [-ohub] [-l <log file|stdout|stderr>]\n"
    "Please specify -ohub option for updating Orvane Hub.  Otherwise, output Zigbee device "
    "will be found automatically.\n";

} // namespace

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
            opt.device = HUB_DEVICE;
        } else {
            return -1;
        }
    }
    return 0;
}

void usage() {
    std::puts("ERROR: argument error");
    if (log_fp != nullptr)
        logPrintf("%s", USAGE_TEXT);
    else
        std::fputs(USAGE_TEXT, stdout);
}

void binFileError(const char* path) {
    const int err = errno;
    std::puts("ERROR: invalid firmware file");
    std::printf("ERROR: %s: %s\n", std::strerror(err), path);
}
