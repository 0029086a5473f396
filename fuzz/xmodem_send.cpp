// Fuzz target: the XMODEM sender fed arbitrary answers. The first two input bytes give the
// size of the source (0..4095 bytes of a fixed pattern); the rest is the line.
//
// Oracle, from what was recorded on the line:
// - every block sent is the next block of the source: number, complement, payload with its
//   SUB and zero fill, and the check of the mode the receiver asked for;
// - a block counts as acknowledged only when the first byte read after it was ACK;
// - a positive result comes only when every block up to the one past the data was
//   acknowledged, in order, and an EOT was then acknowledged; it is 128 times their number;
// - the result is one of the documented values, and once the line has fallen quiet the
//   sender gives up within its budgets (15 waits of 1.6 s for the start request).
#include "fuzz/fake_line.h"
#include "fuzz/oracle.h"
#include "link/serial.h"
#include "xmodem/xmodem.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr std::int64_t QUIET_LIMIT_US = 25'000'000;
constexpr std::size_t PAYLOAD = XMODEM_BLOCK_128;

// The block that must carry source bytes from `offset` on, with number `number`.
std::vector<std::uint8_t> expectedBlock(const std::vector<std::uint8_t>& src, std::size_t offset,
                                        std::uint8_t number, bool crc) {
    std::vector<std::uint8_t> b = {SOH, number, static_cast<std::uint8_t>(~number)};
    std::vector<std::uint8_t> payload(PAYLOAD, 0);
    const std::size_t n = offset < src.size() ? std::min(PAYLOAD, src.size() - offset) : 0;
    std::copy(src.begin() + static_cast<std::ptrdiff_t>(offset),
              src.begin() + static_cast<std::ptrdiff_t>(offset + n), payload.begin());
    if (n < PAYLOAD)
        payload[n] = SUB;
    b.insert(b.end(), payload.begin(), payload.end());
    if (crc) {
        const std::uint16_t sum = crc16_ccitt(payload.data(), static_cast<std::int32_t>(PAYLOAD));
        b.push_back(static_cast<std::uint8_t>(sum >> 8));
        b.push_back(static_cast<std::uint8_t>(sum & 0xFF));
    } else {
        unsigned sum = 0;
        for (const std::uint8_t c : payload)
            sum += c;
        b.push_back(static_cast<std::uint8_t>(sum & 0xFF));
    }
    return b;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const std::size_t srcSize = (static_cast<std::size_t>(data[0]) << 8 | data[1]) & 0x0FFF;
    std::vector<std::uint8_t> src(srcSize);
    for (std::size_t i = 0; i < srcSize; ++i)
        src[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    lineStart(data + 2, size - 2);
    log_fp = nullLog();
    const std::int32_t result = xmodemTransmit(src.data(), static_cast<std::int32_t>(srcSize));
    log_fp = nullptr;

    if (result <= 0) // above 0: the payload bytes moved
        expectResult(result, {-1, -2, -4, -5}, "the sender returned an undocumented result");
    if (lineQuietSinceUs() >= 0 && lineNowUs() - lineQuietSinceUs() > QUIET_LIMIT_US)
        fuzzFail("the sender kept waiting on a quiet line beyond its budgets");

    const std::size_t blocks = srcSize / PAYLOAD + 1;
    const std::vector<LineEvent> events = lineEvents();
    std::size_t acked = 0;
    std::size_t blockSize = 0; // on the line, fixed by the mode for the whole transfer
    bool eotSent = false;
    bool eotAcked = false;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const LineEvent& e = events[i];
        if (e.op != LineOp::Write)
            continue;
        const LineEvent* answer = nullptr;
        for (std::size_t j = i + 1; j < events.size() && answer == nullptr; ++j)
            if (events[j].op != LineOp::Discard)
                answer = &events[j];
        const bool ackFollows = answer != nullptr && answer->op == LineOp::Read &&
                                !answer->bytes.empty() && answer->bytes[0] == ACK;
        if (e.bytes.size() == PAYLOAD + 4 || e.bytes.size() == PAYLOAD + 5) {
            if (acked >= blocks || eotSent)
                fuzzFail("a block was sent past the end of the source");
            if (blockSize != 0 && e.bytes.size() != blockSize)
                fuzzFail("the check mode changed during the transfer");
            blockSize = e.bytes.size();
            const std::vector<std::uint8_t> want =
                expectedBlock(src, acked * PAYLOAD, static_cast<std::uint8_t>(acked + 1),
                              e.bytes.size() == PAYLOAD + 5);
            if (!std::equal(want.begin(), want.end(), e.bytes.begin(), e.bytes.end()))
                fuzzFail("a block does not carry the next bytes of the source");
            if (ackFollows)
                ++acked;
        } else if (e.bytes.size() == 1 && e.bytes[0] == EOT) {
            eotSent = true;
            eotAcked = ackFollows;
        }
    }
    if (result > 0) {
        if (acked != blocks || !eotAcked)
            fuzzFail("success without every block and the EOT acknowledged");
        if (static_cast<std::size_t>(result) != blocks * PAYLOAD)
            fuzzFail("the result is not 128 times the number of blocks");
    }
    return 0;
}
