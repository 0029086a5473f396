// How a transfer ends early: one side gives up or answers a cancel, or the run is interrupted
// (link/interrupt.h).
#include "link/interrupt.h"
#include "link/os.h"
#include "link/serial.h"
#include "xmodem/xmodem.h"
#include "xmodem/xmodem_internal.h"

namespace {

void cancelTransfer(void* /*transfer*/) {
    if (SERIAL_FD < 0)
        return;
    // The block still leaving the port goes out whole first: the receiver then reads the
    // cancel as the next header. Single drains: the exit watchdog cuts short one that blocks.
    osDrain(SERIAL_FD);
    for (int i = 0; i < XMODEM_CANCEL_BYTES; ++i)
        (void)_outbyte(CAN);
    osDrain(SERIAL_FD);
}

} // namespace

void finish(std::uint8_t byte, int count) {
    flushinput();
    for (int i = 0; i < count; ++i)
        _outbyte(byte);
}

TransferInProgress::TransferInProgress() {
    pushInterruptCleanup(cancelTransfer, this);
}

TransferInProgress::~TransferInProgress() {
    popInterruptCleanup(this);
}
