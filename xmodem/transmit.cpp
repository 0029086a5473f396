// XMODEM sender: 128-byte blocks in the check mode the receiver asks for.
#include "link/serial.h"
#include "xmodem/xmodem.h"
#include "xmodem/xmodem_internal.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

constexpr int PAYLOAD = XMODEM_BLOCK_128;

// After a CAN, only a second CAN right behind it ends the transfer; any other byte is dropped.
bool secondCan() {
    return _inbyte(XMODEM_SHORT_WAIT) == CAN;
}

// Lays out block `number` from `len` bytes at `data` (len 0..PAYLOAD) and returns its length on
// the line.
std::size_t buildBlock(unsigned char* block, std::uint8_t number, const unsigned char* data,
                       std::int64_t len, bool crc) {
    block[0] = SOH;
    block[1] = number;
    block[2] = static_cast<unsigned char>(~number);
    unsigned char* payload = block + 3;
    std::memset(payload, 0, PAYLOAD);
    if (len > 0)
        std::memcpy(payload, data, static_cast<std::size_t>(len));
    if (len < PAYLOAD)
        payload[len] = SUB;
    if (crc) {
        const std::uint16_t sum = crc16_ccitt(payload, PAYLOAD);
        block[3 + PAYLOAD] = static_cast<unsigned char>(sum >> 8);
        block[4 + PAYLOAD] = static_cast<unsigned char>(sum & 0xFFU);
        return 5 + PAYLOAD;
    }
    unsigned ck = 0;
    for (int i = 0; i < PAYLOAD; ++i)
        ck += payload[i];
    block[3 + PAYLOAD] = static_cast<unsigned char>(ck & 0xFFU);
    return 4 + PAYLOAD;
}

} // namespace

bool onlyReceiverRequests(std::span<const std::uint8_t> read) {
    return !read.empty() &&
           std::ranges::all_of(read, [](std::uint8_t b) { return b == CRC_REQUEST || b == NAK; });
}

std::int32_t xmodemTransmit(const unsigned char* src, std::int32_t srcsz) {
    const TransferInProgress transfer;
    std::array<unsigned char, XMODEM_BUFFER_SIZE> block{};

    int crc = -1; // undecided
    for (int tries = 0; tries < XMODEM_SYNC_TRIES && crc < 0; ++tries) {
        const int c = _inbyte(XMODEM_LONG_WAIT);
        if (c == CRC_REQUEST) {
            crc = 1;
        } else if (c == NAK) {
            crc = 0;
        } else if (c == CAN && secondCan()) {
            finish(ACK, 1);
            return -1;
        }
    }
    if (crc < 0) {
        finish(CAN, XMODEM_CANCEL_BYTES);
        return -2;
    }

    // 64 bits so that the offset past the last block of a buffer close to 2 GiB cannot overflow.
    std::int64_t offset = 0;
    std::uint8_t number = 1;
    for (;;) {
        const std::int64_t remaining = std::min<std::int64_t>(srcsz - offset, PAYLOAD);
        if (remaining < 0)
            break;
        const std::size_t len = buildBlock(block.data(), number, src + offset, remaining, crc == 1);

        bool acked = false;
        for (int sends = 0; sends < XMODEM_MAX_SENDS && !acked; ++sends) {
            // An answer that came while the copy before was still leaving the port (a late "C"
            // or NAK, noise) must not cut that copy short: the receiver would get its front
            // glued to this one. So it leaves whole first, and the unsent-output discard of
            // Uart_Send finds nothing left to discard.
            drainOutput();
            // Whatever came in before this write answers an earlier block (a duplicated ACK,
            // a late NAK); taking it as the answer to this one would skip or repeat data.
            discardInput();
            Uart_Send(SERIAL_FD, block.data(), len, nullptr);
            const int c = _inbyte(XMODEM_SHORT_WAIT);
            if (c == ACK) {
                acked = true;
            } else if (c == CAN && secondCan()) {
                finish(ACK, 1);
                return -1;
            }
        }
        if (!acked) {
            finish(CAN, XMODEM_CANCEL_BYTES);
            return -4;
        }
        ++number; // wraps 255 -> 0
        offset += PAYLOAD;
        if (xmodemProgress != nullptr)
            xmodemProgress(offset, srcsz);
    }

    int answer = -1;
    for (int eots = 0; eots < XMODEM_MAX_EOTS && answer != ACK; ++eots) {
        discardInput();
        _outbyte(EOT);
        answer = _inbyte(XMODEM_LONG_WAIT);
    }
    if (answer != ACK) {
        // The receiver may still wait for the end: it is told the transfer is off.
        finish(CAN, XMODEM_CANCEL_BYTES);
        return -5;
    }
    flushinput();
    return static_cast<std::int32_t>(
        std::min<std::int64_t>(offset, std::numeric_limits<std::int32_t>::max()));
}
