// How an interrupted run ends a transfer in progress: CAN CAN CAN, so the module leaves its
// receiver or sender at once instead of waiting out its timeouts.
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
    // cancel as the next header, not as part of a block. Single drains, not drainOutput: on the
    // way out a drain that blocks is cut short by the exit watchdog and must not be retried.
    osDrain(SERIAL_FD);
    for (int i = 0; i < XMODEM_CANCEL_BYTES; ++i)
        (void)_outbyte(CAN);
    osDrain(SERIAL_FD);
}

} // namespace

TransferInProgress::TransferInProgress() {
    pushInterruptCleanup(cancelTransfer, this);
}

TransferInProgress::~TransferInProgress() {
    popInterruptCleanup(this);
}
