// The module exchanges of radioflash: the version query and the switch into the firmware
// receiver. Each opens the port itself and sends its own frames, untraced; only the version
// query traces what it receives.
#include "radioflash/radioflash.h"

#include "link/frames.h"
#include "link/serial.h"
#include "run/start.h"
#include "xmodem/xmodem.h"

#include <array>
#include <span>

namespace {

constexpr std::uint8_t VERSION_LEN = 0x02;

// Whether a request met a module still waiting in its firmware receiver: `n` bytes read and
// nothing but its asks, or nothing read in the pause and an ask soon after (a receiver may ask
// only every few seconds, or first let a stray block header in the request time out). Any
// other byte is a reply, judged as one.
bool receiverWaiting(int n, const ReplyBuffer& reply) {
    if (n > 0)
        return onlyReceiverRequests(std::span(reply).first(static_cast<std::size_t>(n)));
    const int c = waitForByte(RECEIVER_LISTEN_S * 1000000 / INBYTE_WAIT_US);
    return c == CRC_REQUEST || c == NAK;
}

} // namespace

int GetCurrentVersion(const char* device) {
    ReplyBuffer reply{};
    int retries = EXCHANGE_RETRIES;

    if (!openModulePort(device))
        return -1;

    for (;;) {
        const int n = exchangeFrame(CMD_GET_VERSION, {}, REPLY_PAUSE_S, reply, nullptr);
        if (n < 0) {
            // Nothing arrived: a silent module gets no second request. Before saying so, a
            // moment more tells a module waiting for an image from a dead one.
            if (receiverWaiting(n, reply))
                noteWaitingReceiver();
            return -1;
        }
        if (n > 0)
            traceBytes("", "Received", reply.data(), static_cast<std::size_t>(n));
        // Judged within the count read, so stale bytes never make a reply acceptable. Anything
        // after byte 7 is ignored: the module may append bytes to the reply.
        if (isReply(std::span(reply).first(static_cast<std::size_t>(n)), CMD_GET_VERSION,
                    VERSION_LEN, ReplyStart::Judged)) {
            closeSerial();
            const unsigned version = static_cast<unsigned>(reply[5] | (reply[6] << 8));
            printOut("%u.%u.%u.%u\n", (version >> 12) & 0xFu, (version >> 8) & 0xFu,
                     (version >> 4) & 0xFu, version & 0xFu);
            return 1;
        }
        if (retries == 0) {
            logPrintf("No valid response.\n");
            return -2;
        }
        --retries;
    }
}

int Update_Init(const char* device) {
    constexpr std::array<std::uint8_t, UPDATE_START_ZEROS> startPayload{};
    ReplyBuffer reply{};
    int retries = EXCHANGE_RETRIES;
    int restarts = UPDATE_START_RESTARTS;

    if (!openModulePort(device))
        return -1;

    for (;;) {
        const int prepared = exchangeFrame(CMD_UPDATE_PREPARE, {}, REPLY_PAUSE_S, reply, nullptr);
        if (prepared != 0 && receiverWaiting(prepared, reply)) {
            // The XMODEM sender syncs on the receiver's next ask.
            logPrintf("The module is already waiting for a firmware image (an earlier update "
                      "was cut short): sending the image without a start request.\n");
            return 0;
        }
        if (prepared < 0)
            return -1;
        // The whole buffer is judged, bytes 0 and 1 not. What the status byte (5) means is the
        // module firmware's business.
        if (!isReply(reply, CMD_UPDATE_PREPARE, STATUS_LEN, ReplyStart::Ignored)) {
            if (retries == 0)
                return -1;
            --retries;
            continue;
        }

        const int n = exchangeFrame(CMD_UPDATE_START, startPayload, START_PAUSE_S, reply, nullptr);
        if (n < 0)
            return -1;
        // The receiver asks for CRC mode with 'C'; whatever it says before that is its own.
        if (n == 0 || reply[static_cast<std::size_t>(n) - 1] == CRC_REQUEST)
            return 0;
        // Any other answer sends the module through the prepare stage again. That does not
        // count against the retry budget, but a module that never settles must not keep the
        // run going for ever, so the restarts are bounded too.
        if (restarts == 0)
            return -1;
        --restarts;
    }
}
