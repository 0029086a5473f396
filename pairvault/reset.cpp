// Factory reset: fetch the module's gateway device ID, then hand it back with the reset
// command; optionally restore a blank backup first or take one afterwards.
#include "pairvault/backup_target.h"
#include "pairvault/pairvault_internal.h"

#include "link/frames.h"
#include "link/serial.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

namespace {

constexpr std::size_t GATEWAY_ID_SIZE = 8;
constexpr std::size_t GATEWAY_REPLY_MIN = 14; // header, 8 ID bytes, FRAME_END

// The ID reply's length byte is a minimum, and its FRAME_END is the last byte read.
bool gatewayReplyAccepted(std::span<const std::uint8_t> reply) {
    return reply.size() >= GATEWAY_REPLY_MIN &&
           isReply(reply, CMD_GET_GATEWAY_ID, ANY_LENGTH, ReplyStart::Judged) &&
           reply[4] >= GATEWAY_ID_SIZE && reply.back() == FRAME_END;
}

} // namespace

int resetZigbee() {
    // One buffer for both stages.
    ReplyBuffer reply{};

    bool haveId = false;
    for (int attempt = 0; attempt < CMD_ATTEMPTS && !haveId; ++attempt) {
        const int n = exchangeFrame(CMD_GET_GATEWAY_ID, {}, CMD_PAUSE_S, reply, LABEL_GATEWAY_ID);
        if (n < 0)
            return -1;
        haveId = gatewayReplyAccepted(std::span(reply).first(static_cast<std::size_t>(n)));
    }
    if (!haveId) {
        logPrintf("No valid response.\n");
        return -2;
    }

    // Exactly the first 8 payload bytes, however long the module's ID payload is.
    std::array<std::uint8_t, GATEWAY_ID_SIZE> gatewayId{};
    std::copy_n(reply.begin() + 5, GATEWAY_ID_SIZE, gatewayId.begin());

    // A fresh budget. Here a second without a reply is just another unaccepted reply: the
    // module has the ID already, and the request goes out again.
    for (int attempt = 0; attempt < CMD_ATTEMPTS; ++attempt) {
        const int n =
            exchangeFrame(CMD_FACTORY_RESET, gatewayId, CMD_PAUSE_S, reply, LABEL_FACTORY_RESET);
        if (n >= 0 &&
            isReply(std::span(reply).first(static_cast<std::size_t>(n)), CMD_FACTORY_RESET,
                    STATUS_LEN, ReplyStart::Judged) &&
            reply[5] == STATUS_ACCEPTED)
            return 1;
    }
    logPrintf("No valid response.\n");
    return -2;
}

int runResetMode(const RunOptions& opt) {
    if (!prepareDevice("reset", opt.device))
        return -1;
    // The blank backup's target is checked as a plain backup checks it, but before the reset:
    // a target that would be refused must not cost the module its network first.
    BackupTarget blank;
    if (opt.backupFile != nullptr && openBackupFile(opt.backupFile, blank) != 0) {
        closeSerial();
        return -1;
    }
    // With a blank backup restored first, the sensors stay on the network after the reset.
    if (opt.restoreFile != nullptr && restoreThenReboot(opt.device, opt.restoreFile) != 1)
        return -1;
    if (resetZigbee() != 1) {
        printLine("ERROR");
        closeSerial();
        return -1;
    }
    // Unlike a plain backup, a blank backup that fails fails the run: it is what the caller
    // asked the reset for.
    if (opt.backupFile != nullptr && receiveBackup(opt.backupFile, blank) != 1) {
        closeSerial();
        return -1;
    }
    printLine("SUCCESS");
    closeSerial();
    return 1;
}
