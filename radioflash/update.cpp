// The two modes of radioflash: the version query and the update run.
#include "radioflash/radioflash.h"

#include "filetransfer/progress.h"
#include "filetransfer/send_file.h"
#include "link/frames.h"
#include "link/serial.h"
#include "run/module_state.h"
#include "xmodem/xmodem.h"

#include <array>
#include <cinttypes>
#include <sys/stat.h>

constexpr const char* INVALID_FIRMWARE_FILE = "ERROR: invalid firmware file";

int runVersionQuery(const char* device) {
    const int result = GetCurrentVersion(device);
    if (result == 1)
        return EXIT_VERSION_SHOWN;
    if (result == -2) {
        printLine("NORESPONSE");
        return EXIT_FAILURE_STATUS;
    }
    printLine("ERROR");
    return result;
}

int runUpdate(const char* device, const char* firmware) {
    logPrintf("firmware: %s\n", firmware);
    struct stat st {};
    if (stat(firmware, &st) != 0) {
        printFileError(INVALID_FIRMWARE_FILE, firmware);
        logPrintf("ERROR: cannot access %s\n", firmware);
        return EXIT_FAILURE_STATUS;
    }
    logPrintf("Preparing to update device %s...\n", device);

    // The image is read and checked before the module is touched: once switched into its
    // firmware receiver the module waits for an image, so a local file that turns out to be
    // unreadable must not leave it stranded there.
    SendFile image;
    // An empty image has nothing to install: refused like one too large to send.
    if (loadFileToSend(firmware, INVALID_FIRMWARE_FILE, image) != 0)
        return EXIT_FAILURE_STATUS;

    if (Update_Init(device) < 0) {
        printLine("ERROR: cannot access port");
        logPrintf("ERROR: update init fail!\n");
        return EXIT_FAILURE_STATUS;
    }
    logPrintf("firmware size = %" PRId64 "\n", image.size);
    logPrintf("Now updating...may take 5 mins.\n");

    // The size fits: loadSendFile refuses anything the sender cannot carry whole.
    progressBegin(image.size);
    moduleTransferUnderWay();
    const std::int64_t result =
        xmodemTransmit(image.data.get(), static_cast<std::int32_t>(image.size));
    endModuleTransfer();
    progressEnd();
    logPrintf("result = %" PRId64 " (%s)\n", result, retString(result));
    // The run log ends here. With "-l stdout" only a flush happens, so the final word below
    // still reaches standard output.
    closeRunLog();
    const std::int64_t imageSize = image.size;
    image.data.reset();

    // Leave the module time to settle after the transfer, then take whatever it said
    // meanwhile off the line; none of it changes the outcome.
    pauseSeconds(SETTLE_PAUSE_S);
    ReplyBuffer trailing{};
    (void)Uart_Recv(SERIAL_FD, trailing.data());

    if (result >= imageSize) {
        closeSerial();
        printLine("SUCCESS");
        return EXIT_UPDATE_DONE;
    }
    printLine("ERROR: fail to update firmware");
    return EXIT_FAILURE_STATUS;
}
