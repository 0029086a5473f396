// Fuzz target: the XMODEM receiver fed an arbitrary line (headers, 128- and 1024-byte blocks,
// damaged and repeated blocks, CAN, EOT, noise, silence, an unplugged adapter).
//
// Oracle, from what was recorded on the line:
// - every block the receiver acknowledged is a whole, correct block at the end of what it
//   read since its previous answer, numbered as the next block or a repeat of the last one,
//   all in one check mode (tried both ways, since the mode is the receiver's to choose);
// - the output holds the payloads of the new acknowledged blocks, in order, and nothing else;
//   a result of 0 or more is exactly the output's size and follows an EOT it acknowledged;
// - the result is one of the documented values, and once the line has fallen quiet the
//   receiver gives up within its budgets (16 header waits of "C", then of NAK: 51.2 s).
#include "fuzz/fake_line.h"
#include "fuzz/oracle.h"
#include "link/serial.h"
#include "xmodem/xmodem.h"
#include "xmodem/xmodem_internal.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr std::int64_t QUIET_LIMIT_US = 52'000'000;

// What the acknowledged blocks add up to in one check mode, while they make sense in it.
struct ModeView {
    bool crc = true;
    bool consistent = true;
    std::uint8_t expected = 1;
    std::vector<std::uint8_t> output;

    // Takes the block at the end of `read`, acknowledged by the receiver.
    void acknowledged(const std::vector<std::uint8_t>& read) {
        for (const int payload : {XMODEM_BLOCK_1K, XMODEM_BLOCK_128}) {
            const std::size_t len = static_cast<std::size_t>(payload) + (crc ? 5 : 4);
            if (read.size() < len)
                continue;
            const std::uint8_t* b = read.data() + read.size() - len;
            if (b[0] != (payload == XMODEM_BLOCK_1K ? STX : SOH) ||
                b[1] != static_cast<std::uint8_t>(~b[2]) || check(crc ? 1 : 0, b + 3, payload) != 1)
                continue;
            if (b[1] == expected) {
                output.insert(output.end(), b + 3, b + 3 + payload);
                ++expected;
                return;
            }
            if (b[1] == static_cast<std::uint8_t>(expected - 1))
                return;
        }
        consistent = false;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lineStart(data, size);
    log_fp = nullLog();
    char* buf = nullptr;
    std::size_t len = 0;
    FILE* out = open_memstream(&buf, &len);
    const std::int32_t result = xmodemReceive(out);
    std::fclose(out);
    const std::vector<std::uint8_t> written(buf, buf + len);
    std::free(buf);
    log_fp = nullptr;

    if (result < 0) // 0 and above: the payload bytes moved
        expectResult(result, {-1, -2, -3}, "the receiver returned an undocumented result");
    if (lineQuietSinceUs() >= 0 && lineNowUs() - lineQuietSinceUs() > QUIET_LIMIT_US)
        fuzzFail("the receiver kept waiting on a quiet line beyond its budgets");

    const std::vector<LineEvent> events = lineEvents();
    // The last answer of a run that ends with EOT or a double CAN acknowledges that, not a
    // block.
    std::size_t lastWrite = events.size();
    for (std::size_t i = 0; i < events.size(); ++i)
        if (events[i].op == LineOp::Write)
            lastWrite = i;
    const bool endsWithAck = lastWrite < events.size() && events[lastWrite].bytes.size() == 1 &&
                             events[lastWrite].bytes[0] == ACK;
    const bool finalAck = endsWithAck && (result >= 0 || result == -1);

    ModeView views[2];
    views[1].crc = false;
    std::vector<std::uint8_t> read;
    std::uint8_t lastByteRead = 0;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const LineEvent& e = events[i];
        if (e.op == LineOp::Read) {
            read.insert(read.end(), e.bytes.begin(), e.bytes.end());
            lastByteRead = e.bytes.empty() ? lastByteRead : e.bytes.back();
        } else if (e.op == LineOp::Write) {
            if (e.bytes.size() == 1 && e.bytes[0] == ACK && !(finalAck && i == lastWrite))
                for (ModeView& v : views)
                    if (v.consistent)
                        v.acknowledged(read);
            read.clear();
        }
    }

    bool explained = false;
    for (const ModeView& v : views)
        explained = explained || (v.consistent && v.output == written);
    if (!explained)
        fuzzFail("the output is not the payloads of the acknowledged blocks in order");
    if (result >= 0) {
        if (static_cast<std::size_t>(result) != written.size())
            fuzzFail("the result is not the number of bytes written");
        if (!finalAck || lastByteRead != EOT)
            fuzzFail("a transfer ended in success without an acknowledged EOT");
    }
    return 0;
}
