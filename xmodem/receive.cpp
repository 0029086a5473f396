// XMODEM receiver: asks for CRC mode, falls back to checksum mode, takes 128- and 1024-byte
// blocks mixed, and writes each new block's payload to the caller's stream once.
#include "link/serial.h"
#include "xmodem/xmodem.h"
#include "xmodem/xmodem_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace {

// How long the line must stay quiet behind an EOT for the EOT to count as the sender's:
// 5 waits of INBYTE_WAIT_US, 250 ms.
constexpr unsigned EOT_QUIET_WAITS = 5;

// The two ways out of a header wait besides a block: a final result, or a header byte.
struct HeaderWait {
    bool done = false;
    std::int32_t result = 0;
    int payload = 0; // 128 or 1024 when a header came
};

// Up to XMODEM_HEADER_TRIES waits for SOH/STX, sending `request` before each (0 = none).
// Returns done with a result for EOT or a double CAN; payload 0 when the tries ran out.
HeaderWait waitForHeader(int request, std::int64_t total) {
    HeaderWait w;
    int next = -1; // a byte already read behind an EOT that was not the sender's
    for (int tries = 0; tries < XMODEM_HEADER_TRIES; ++tries) {
        int c = next;
        next = -1;
        if (c < 0) {
            if (request != 0)
                _outbyte(request);
            c = _inbyte(XMODEM_LONG_WAIT);
        }
        if (c == SOH) {
            w.payload = XMODEM_BLOCK_128;
            return w;
        }
        if (c == STX) {
            w.payload = XMODEM_BLOCK_1K;
            return w;
        }
        if (c == EOT) {
            // A sender that has sent its EOT falls silent until it is answered. An EOT with
            // more bytes right behind it came out of line noise or the remains of a damaged
            // block, and taking it would end the backup short yet call it a success: it uses
            // up the try like any other stray byte, and the byte behind it comes next.
            next = waitForByte(EOT_QUIET_WAITS);
            if (next >= 0)
                continue;
            finish(ACK, 1);
            w.done = true;
            w.result = static_cast<std::int32_t>(
                std::min<std::int64_t>(total, std::numeric_limits<std::int32_t>::max()));
            return w;
        }
        if (c == CAN && _inbyte(XMODEM_SHORT_WAIT) == CAN) {
            finish(ACK, 1);
            w.done = true;
            w.result = -1;
            return w;
        }
    }
    return w;
}

// Reads number, complement, payload and check bytes behind the header into block[1..].
bool readBlockBody(unsigned char* block, int payload, bool crc) {
    const int count = payload + (crc ? 4 : 3);
    for (int i = 1; i <= count; ++i) {
        const int c = _inbyte(XMODEM_SHORT_WAIT);
        if (c < 0)
            return false;
        block[i] = static_cast<unsigned char>(c);
    }
    return true;
}

} // namespace

std::int32_t xmodemReceive(FILE* out) {
    const TransferInProgress transfer;
    // One block at a time: the largest block fits, and nothing else grows with the transfer.
    std::array<unsigned char, XMODEM_BUFFER_SIZE> block{};

    int request = CRC_REQUEST;
    bool crc = false;
    std::uint8_t expected = 1;
    std::int64_t total = 0; // 64 bits: a long transfer must not overflow the count
    int budget = XMODEM_REPEAT_BUDGET;

    for (;;) {
        const HeaderWait w = waitForHeader(request, total);
        if (w.done)
            return w.result;
        if (w.payload == 0) {
            if (request == CRC_REQUEST) {
                request = NAK;
                continue;
            }
            finish(CAN, XMODEM_CANCEL_BYTES);
            return -2;
        }

        if (request == CRC_REQUEST)
            crc = true;
        request = 0;
        const int payload = w.payload;
        block[0] = payload == XMODEM_BLOCK_1K ? STX : SOH;

        const bool complete = readBlockBody(block.data(), payload, crc);
        const std::uint8_t number = block[1];
        const bool accepted =
            complete && number == static_cast<std::uint8_t>(~block[2]) &&
            (number == expected || number == static_cast<std::uint8_t>(expected - 1)) &&
            check(crc ? 1 : 0, block.data() + 3, payload) == 1;
        if (!accepted) {
            finish(NAK, 1);
            continue;
        }

        if (number == expected) {
            const std::size_t size = static_cast<std::size_t>(payload);
            if (std::fwrite(block.data() + 3, 1, size, out) != size) {
                logPrintf("file write error: %s\n", std::strerror(errno));
                // The block stays unanswered; the sender must not wait for it.
                finish(CAN, XMODEM_CANCEL_BYTES);
                return -1;
            }
            total += payload;
            ++expected; // wraps 255 -> 0
            budget = XMODEM_REPEAT_BUDGET + 1;
            if (xmodemProgress != nullptr)
                xmodemProgress(total, -1);
        }
        if (--budget <= 0) {
            finish(CAN, XMODEM_CANCEL_BYTES);
            return -3;
        }
        _outbyte(ACK);
    }
}
