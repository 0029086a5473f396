// The bare reboot and create-network commands, and the port opening every mode shares.
#include "pairvault/pairvault_internal.h"

#include "link/frames.h"
#include "link/serial.h"

bool openPort(const std::string& device) {
    SERIAL_FD = Open_Serial(device.c_str());
    if (SERIAL_FD < 0) {
        return false;
    }
    // A port that cannot be configured is still tried with the settings it has.
    SetComConf(SERIAL_FD);
    return true;
}

int runControlMode(const RunOptions& opt) {
    if (!openPort(opt.device)) {
        return -1;
    }
    const int result = opt.reboot ? sendControlCommand(CMD_REBOOT, LABEL_REBOOT)
                                  : sendControlCommand(CMD_CREATE_NETWORK, LABEL_CREATE);
    closeSerial();
    printLine(result == 1 ? "SUCCESS" : "ERROR");
    return result;
}
