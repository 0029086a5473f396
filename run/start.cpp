#include "run/start.h"

#include "discovery/discovery.h"
#include "link/run_log.h"
#include "run/module_state.h"

const char* startRun(const char* logValue, const char* programWord, bool onBoard,
                     const char* notFoundLine) {
    if (openRunLog(logValue, programWord, runStartTime()) != 0)
        return nullptr;
    const char* port = onBoard ? HUB_PORT : getZigbeeDeviceName();
    if (port == nullptr) {
        printLine(notFoundLine);
        logPrintf("ERROR: cannot find Zigbee device.\n");
        return nullptr;
    }
    logPrintf("device: %s\n", port);
    watchModule();
    return port;
}
