#include "run/start.h"

#include "discovery/discovery.h"
#include "link/frames.h"
#include "link/run_log.h"
#include "xmodem/xmodem.h"

namespace {

// The update entry's own requests are left to radioflash, for which such an answer is no
// failure.
void watchReply(std::uint8_t code, std::span<const std::uint8_t> read) {
    if (code != CMD_UPDATE_PREPARE && code != CMD_UPDATE_START && onlyReceiverRequests(read))
        noteWaitingReceiver();
}

} // namespace

void noteWaitingReceiver() {
    static bool noted = false;
    if (noted)
        return;
    noted = true;
    logPrintf("The module is waiting for a firmware image: an update was cut short. "
              "Finish it with radioflash -f <image>.\n");
}

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
    replyWatcher = watchReply;
    return port;
}
