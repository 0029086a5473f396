// radioflash: parse, set up the run log and the device, then run one mode.
#include "radioflash/radioflash.h"

#include "discovery/discovery.h"
#include "link/serial.h"

#include <ctime>

int main(int argc, char** argv) {
    char startTime[START_TIME_SIZE];
    formatStartTime(std::time(nullptr), startTime, sizeof startTime);

    RunOptions opt;
    if (parseArgs(argc, argv, opt) != 0) {
        usage();
        return EXIT_FAILURE_STATUS;
    }
    if (openRunLog(opt.logValue, RADIOFLASH_WORD, startTime) != 0)
        return EXIT_FAILURE_STATUS;

    const char* device = chooseModulePort(opt.onBoard, "NONE");
    if (device == nullptr)
        return EXIT_FAILURE_STATUS;

    if (opt.currentVersion)
        return runVersionQuery(device);
    if (opt.firmware != nullptr)
        return runUpdate(device, opt.firmware);
    usage();
    return EXIT_FAILURE_STATUS;
}
