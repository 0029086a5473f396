#include "link/frames.h"

#include "link/serial.h"

#include <array>
#include <cerrno>
#include <ctime>

namespace {

constexpr std::uint8_t REPLY_TYPE = 0x08;
constexpr std::uint8_t STATUS_LEN = 0x01;
constexpr std::uint8_t STATUS_ACCEPTED = 0x00;

void sleepSeconds(unsigned s) {
    timespec rest{static_cast<time_t>(s), 0};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

} // namespace

std::size_t buildFrame(std::uint8_t code, std::span<const std::uint8_t> payload,
                       std::span<std::uint8_t> out) {
    // The length travels in one byte; a frame that cannot be built is refused rather than
    // sent with a wrong length or written past `out`.
    const std::size_t total = payload.size() + FRAME_OVERHEAD;
    if (payload.size() > 0xFF || out.size() < total)
        return 0;
    out[0] = 0x00;
    out[1] = 0x00;
    out[2] = code;
    out[3] = 0x00;
    out[4] = static_cast<std::uint8_t>(payload.size());
    for (std::size_t i = 0; i < payload.size(); ++i)
        out[5 + i] = payload[i];
    out[5 + payload.size()] = FRAME_END;
    return total;
}

int sendControlCommand(std::uint8_t code, const char* label) {
    std::array<std::uint8_t, FRAME_OVERHEAD> request{};
    const std::size_t len = buildFrame(code, {}, request);
    // Cleared once only: a short reply is judged together with whatever an earlier, longer
    // reply left behind it, which is how the module's replies have always been read.
    std::array<std::uint8_t, UART_RECV_SIZE> reply{};
    for (int attempt = 0; attempt < CMD_ATTEMPTS; ++attempt) {
        // A failed write is already logged; the reply read below decides the outcome.
        (void)Uart_Send(SERIAL_FD, request.data(), len, label);
        sleepSeconds(CMD_PAUSE_S);
        if (Uart_Recv(SERIAL_FD, reply.data(), label) < 0)
            return -1;
        // Bytes 0 and 1 and the count read are not relied on.
        if (reply[2] == code && reply[3] == REPLY_TYPE && reply[4] == STATUS_LEN &&
            reply[5] == STATUS_ACCEPTED && reply[6] == FRAME_END)
            return 1;
    }
    logPrintf("No valid response.\n");
    return -2;
}
