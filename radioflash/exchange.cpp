// The module exchanges of radioflash: the version query and the switch into the firmware
// receiver. Each opens the port itself and sends its own frames, untraced; only the version
// query traces what it receives.
#include "radioflash/radioflash.h"

#include "link/frames.h"
#include "link/serial.h"
#include "run/module_state.h"
#include "xmodem/xmodem.h"

#include <array>
#include <span>

namespace {

constexpr std::uint8_t VERSION_LEN = 0x02;
// A receiver that asks in answer to this many prepare requests in a row was waiting before
// them; one ask alone may be a stray byte on the line.
constexpr int RECEIVER_ASKS_IN_A_ROW = 2;

} // namespace

int GetCurrentVersion(const char* device) {
    ReplyBuffer reply{};
    int retries = EXCHANGE_RETRIES;

    if (!openModulePort(device))
        return -1;

    for (;;) {
        const int n = exchangeFrame(CMD_GET_VERSION, {}, REPLY_PAUSE_S, reply, nullptr);
        // Nothing arrived: a silent module gets no second request. (The watch has listened a
        // moment more for a module waiting for an image, run/module_state.h.)
        if (n < 0)
            return -1;
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
    int asksInARow = 0;
    bool started = false; // a start request has gone out: the module may be in its receiver

    if (!openModulePort(device))
        return -1;
    const auto fail = [&started] {
        if (started)
            endModuleTransfer();
        return -1;
    };

    for (;;) {
        const int prepared = exchangeFrame(CMD_UPDATE_PREPARE, {}, REPLY_PAUSE_S, reply, nullptr);
        // A receiver that was waiting before the request (run/module_state.h) is the firmware
        // receiver of a cut update once it asks again; a single ask is judged as a wrong reply.
        asksInARow = receiverMetInLastExchange() ? asksInARow + 1 : 0;
        if (asksInARow == RECEIVER_ASKS_IN_A_ROW) {
            // The XMODEM sender syncs on the receiver's next ask.
            logPrintf("The module is already waiting for a firmware image (an earlier update "
                      "was cut short): sending the image without a start request.\n");
            if (!started)
                (void)beginModuleTransfer(TransferKind::Update);
            return 0;
        }
        if (prepared < 0 && asksInARow == 0)
            return fail();
        // The whole buffer is judged, bytes 0 and 1 not. What the status byte (5) means is the
        // module firmware's business.
        if (asksInARow > 0 ||
            !isReply(reply, CMD_UPDATE_PREPARE, STATUS_LEN, ReplyStart::Ignored)) {
            if (retries == 0)
                return fail();
            --retries;
            continue;
        }

        if (!started)
            started = beginModuleTransfer(TransferKind::Update) == 0;
        const int n = exchangeFrame(CMD_UPDATE_START, startPayload, START_PAUSE_S, reply, nullptr);
        if (n < 0)
            return fail();
        // The receiver asks for CRC mode with 'C'; whatever it says before that is its own.
        if (n == 0 || reply[static_cast<std::size_t>(n) - 1] == CRC_REQUEST)
            return 0;
        // Any other answer sends the module through the prepare stage again. That does not
        // count against the retry budget, but a module that never settles must not keep the
        // run going for ever, so the restarts are bounded too.
        if (restarts == 0)
            return fail();
        --restarts;
    }
}
