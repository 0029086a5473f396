// The bare reboot and create-network commands, and the start of the other modes.
#include "pairvault/pairvault_internal.h"

#include "link/frames.h"
#include "link/serial.h"

bool prepareDevice(const char* action, const char* device) {
    logPrintf("Preparing to %s device %s...\n", action, device);
    return openModulePort(device);
}

int runControlMode(const RunOptions& opt) {
    if (!openModulePort(opt.device))
        return -1;
    const int result = opt.reboot ? sendControlCommand(CMD_REBOOT, LABEL_REBOOT)
                                  : sendControlCommand(CMD_CREATE_NETWORK, LABEL_CREATE);
    closeSerial();
    printLine(result == 1 ? "SUCCESS" : "ERROR");
    return result;
}
