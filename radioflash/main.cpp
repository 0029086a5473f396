// radioflash: parse, set up the run log and the device, then run one mode.
#include "radioflash/radioflash.h"

#include "link/interrupt.h"
#include "run/start.h"

int main(int argc, char** argv) {
    setUpProcess();
    RunOptions opt;
    if (parseArgs(argc, argv, opt) != 0)
        return usage();
    const char* device = startRun(opt.logValue, RADIOFLASH_WORD, opt.onBoard, "NONE");
    if (device == nullptr)
        return EXIT_FAILURE_STATUS;

    if (opt.currentVersion)
        return runVersionQuery(device);
    if (opt.firmware != nullptr)
        return runUpdate(device, opt.firmware);
    return usage();
}
