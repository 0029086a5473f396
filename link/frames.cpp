#include "link/frames.h"

#include "link/serial.h"

#include <algorithm>
#include <array>

ReplyWatcher replyWatcher = nullptr;

std::size_t buildFrame(std::uint8_t code, std::span<const std::uint8_t> payload,
                       std::span<std::uint8_t> out) {
    // The length travels in one byte; a frame that cannot be built is refused rather than
    // sent with a wrong length or written past `out`.
    const std::size_t total = payload.size() + FRAME_OVERHEAD;
    if (payload.size() > 0xFF || out.size() < total)
        return 0;
    const std::array<std::uint8_t, 5> header = {0x00, 0x00, code, 0x00,
                                                static_cast<std::uint8_t>(payload.size())};
    std::ranges::copy(header, out.begin());
    std::ranges::copy(payload, out.begin() + header.size());
    out[total - 1] = FRAME_END;
    return total;
}

int exchangeFrame(std::uint8_t code, std::span<const std::uint8_t> payload, unsigned pauseS,
                  ReplyBuffer& reply, const char* label) {
    std::array<std::uint8_t, FRAME_OVERHEAD + 0xFF> request{};
    const std::size_t len = buildFrame(code, payload, request);
    for (;;) {
        (void)Uart_Send(SERIAL_FD, request.data(), len, label);
        pauseSeconds(pauseS);
        const int n = Uart_Recv(SERIAL_FD, reply.data(), label);
        const auto read = std::span(reply).first(n > 0 ? static_cast<std::size_t>(n) : 0);
        if (replyWatcher == nullptr || !replyWatcher(code, n, read))
            return n;
    }
}

bool isReply(std::span<const std::uint8_t> reply, std::uint8_t code, int len, ReplyStart start) {
    const bool anyLength = len == ANY_LENGTH;
    const std::size_t end = anyLength ? 4 : 5 + static_cast<std::size_t>(len); // last byte judged
    if (reply.size() <= end || reply[2] != code || reply[3] != REPLY_TYPE)
        return false;
    if (start == ReplyStart::Judged && (reply[0] != 0x00 || reply[1] != REPLY_DIRECTION))
        return false;
    return anyLength || (reply[4] == len && reply[end] == FRAME_END);
}

int sendControlCommand(std::uint8_t code, const char* label) {
    ReplyBuffer reply{};
    for (int attempt = 0; attempt < CMD_ATTEMPTS; ++attempt) {
        if (exchangeFrame(code, {}, CMD_PAUSE_S, reply, label) < 0)
            return -1;
        // Bytes 0 and 1 and the count read are not relied on.
        if (isReply(reply, code, STATUS_LEN, ReplyStart::Ignored) && reply[5] == STATUS_ACCEPTED)
            return 1;
    }
    logPrintf("No valid response.\n");
    return -2;
}
