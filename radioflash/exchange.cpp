// The module exchanges of radioflash: the version query and the switch into the firmware
// receiver. Each opens the port itself and sends its own frames, untraced; only the version
// query traces what it receives.
#include "radioflash/radioflash.h"

#include "link/frames.h"
#include "link/serial.h"
#include "xmodem/xmodem.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

namespace {

constexpr std::uint8_t REPLY_DIRECTION = 0x01;
constexpr std::uint8_t REPLY_TYPE = 0x08;
constexpr std::uint8_t VERSION_LEN = 0x02;
constexpr std::uint8_t PREPARE_LEN = 0x01;
constexpr std::size_t VERSION_REPLY_SIZE = 8;

using ReplyBuffer = std::array<std::uint8_t, UART_RECV_SIZE>;

void sleepSeconds(unsigned s) {
    timespec rest{static_cast<time_t>(s), 0};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

void traceReceived(const ReplyBuffer& buf, int n) {
    std::string line = "Received: ";
    char hex[4];
    for (int i = 0; i < n; ++i) {
        std::snprintf(hex, sizeof hex, "%02x ", buf[static_cast<std::size_t>(i)]);
        line += hex;
    }
    line += '\n';
    logPrintf("%s", line.c_str());
}

// Anything after byte 7 is ignored: the module may append bytes to the reply.
bool isVersionReply(const ReplyBuffer& b, int n) {
    return n >= static_cast<int>(VERSION_REPLY_SIZE) && b[0] == 0x00 && b[1] == REPLY_DIRECTION &&
           b[2] == CMD_GET_VERSION && b[3] == REPLY_TYPE && b[4] == VERSION_LEN &&
           b[7] == FRAME_END;
}

// Only bytes 2, 3, 4 and 6 are judged. What the status byte (5) means is the module firmware's
// business, and bytes 0 and 1 and the count read are not relied on.
bool isPrepareReply(const ReplyBuffer& b) {
    return b[2] == CMD_UPDATE_PREPARE && b[3] == REPLY_TYPE && b[4] == PREPARE_LEN &&
           b[6] == FRAME_END;
}

} // namespace

int GetCurrentVersion(const char* device) {
    std::array<std::uint8_t, FRAME_OVERHEAD> request{};
    const std::size_t requestLen = buildFrame(CMD_GET_VERSION, {}, request);
    // Cleared once only, not between reads: a short reply leaves earlier bytes behind it. The
    // count read is what decides, so those stale bytes never make a reply acceptable.
    ReplyBuffer reply{};
    int retries = EXCHANGE_RETRIES;

    SERIAL_FD = Open_Serial(device);
    if (SERIAL_FD < 0)
        return -1;
    (void)SetComConf(SERIAL_FD); // an unconfigurable port is still worth a try

    for (;;) {
        (void)Uart_Send(SERIAL_FD, request.data(), requestLen); // a failure is logged there
        sleepSeconds(REPLY_PAUSE_S);
        const int n = Uart_Recv(SERIAL_FD, reply.data());
        if (n < 0)
            return -1; // nothing arrived: a silent module gets no second request
        if (n > 0)
            traceReceived(reply, n);
        if (isVersionReply(reply, n)) {
            closeSerial();
            const unsigned version = static_cast<unsigned>(reply[5] | (reply[6] << 8));
            std::printf("%u.%u.%u.%u\n", (version >> 12) & 0xFu, (version >> 8) & 0xFu,
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
    std::array<std::uint8_t, FRAME_OVERHEAD> prepare{};
    const std::size_t prepareLen = buildFrame(CMD_UPDATE_PREPARE, {}, prepare);
    constexpr std::array<std::uint8_t, UPDATE_START_ZEROS> startPayload{};
    std::array<std::uint8_t, FRAME_OVERHEAD + UPDATE_START_ZEROS> start{};
    const std::size_t startLen = buildFrame(CMD_UPDATE_START, startPayload, start);
    // Cleared once only: a short prepare reply is judged together with what earlier, longer
    // replies left behind it.
    ReplyBuffer reply{};
    int retries = EXCHANGE_RETRIES;
    int restarts = UPDATE_START_RESTARTS;

    SERIAL_FD = Open_Serial(device);
    if (SERIAL_FD < 0)
        return -1;
    (void)SetComConf(SERIAL_FD);

    for (;;) {
        (void)Uart_Send(SERIAL_FD, prepare.data(), prepareLen);
        sleepSeconds(REPLY_PAUSE_S);
        if (Uart_Recv(SERIAL_FD, reply.data()) < 0)
            return -1;
        if (!isPrepareReply(reply)) {
            if (retries == 0)
                return -1;
            --retries;
            continue;
        }

        (void)Uart_Send(SERIAL_FD, start.data(), startLen);
        sleepSeconds(START_PAUSE_S);
        const int n = Uart_Recv(SERIAL_FD, reply.data());
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
