// The bare reboot and create-network commands.
#include "pairvault/pairvault_internal.h"

#include "link/frames.h"
#include "link/serial.h"

int runControlMode(const RunOptions& opt) {
    if (!openModulePort(opt.device))
        return -1;
    const int result = opt.reboot ? sendControlCommand(CMD_REBOOT, LABEL_REBOOT)
                                  : sendControlCommand(CMD_CREATE_NETWORK, LABEL_CREATE);
    closeSerial();
    printLine(result == 1 ? "SUCCESS" : "ERROR");
    return result;
}
