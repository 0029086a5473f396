// Fuzz target: pairvault's command exchanges fed arbitrary replies. The first input byte
// chooses the exchange: the reboot, create-network, backup or restore command, or (any other
// value) the factory reset with its gateway-ID stage; the rest is the line.
//
// Oracle: the result is 1, -1 or -2; every request written is the documented frame (the reset
// request carrying the first 8 ID bytes of the gateway reply that was accepted); 1 only when
// the reply buffer, as the last read left it, holds an accepted reply; -2 only after six
// requests of a kind answered.
#include "fuzz/fake_line.h"
#include "fuzz/oracle.h"
#include "link/frames.h"
#include "link/serial.h"
#include "pairvault/pairvault_internal.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr std::array<std::uint8_t, 4> CONTROL_CODES = {CMD_REBOOT, CMD_CREATE_NETWORK, CMD_BACKUP,
                                                       CMD_RESTORE};
constexpr const char* CONTROL_LABELS[] = {LABEL_REBOOT, LABEL_CREATE, LABEL_BACKUP, LABEL_RESTORE};

// The reply buffer of the exchange, zeroed once and overwritten from its start by each read.
struct LastReply {
    std::array<std::uint8_t, UART_RECV_SIZE> bytes{};
    std::size_t lastCount = 0;
    void read(std::span<const std::uint8_t> r) {
        std::copy(r.begin(), r.end(), bytes.begin());
        lastCount = r.size();
    }
};

void checkControl(std::uint8_t code, int result, const std::vector<LineEvent>& events) {
    const std::vector<std::uint8_t> request = requestFrame(code, {});
    LastReply reply;
    int requests = 0;
    for (const LineEvent& e : events) {
        if (e.op == LineOp::Write) {
            if (!std::ranges::equal(e.bytes, request))
                fuzzFail("a control request is not the documented frame");
            ++requests;
        } else if (e.op == LineOp::Read) {
            reply.read(e.bytes);
        }
    }
    const auto& b = reply.bytes;
    if (result == 1 &&
        !(b[2] == code && b[3] == 0x08 && b[4] == 0x01 && b[5] == 0x00 && b[6] == FRAME_END))
        fuzzFail("a control command counted as accepted without an accepting reply");
    if (result == -2 && requests != CMD_ATTEMPTS)
        fuzzFail("no valid response reported after other than six requests");
}

void checkReset(int result, const std::vector<LineEvent>& events) {
    const std::vector<std::uint8_t> idRequest = requestFrame(CMD_GET_GATEWAY_ID, {});
    LastReply reply;
    std::vector<std::uint8_t> resetRequest;
    int idRequests = 0;
    int resetRequests = 0;
    for (const LineEvent& e : events) {
        if (e.op == LineOp::Read) {
            reply.read(e.bytes);
            continue;
        }
        if (e.op != LineOp::Write)
            continue;
        if (resetRequests == 0 && std::ranges::equal(e.bytes, idRequest)) {
            ++idRequests;
            continue;
        }
        if (resetRequest.empty()) {
            // The reply in the buffer now is the gateway reply that was accepted.
            const auto& b = reply.bytes;
            const std::size_t n = reply.lastCount;
            if (!(n >= 14 && b[0] == 0x00 && b[1] == 0x01 && b[2] == CMD_GET_GATEWAY_ID &&
                  b[3] == 0x08 && b[4] >= 8 && b[n - 1] == FRAME_END))
                fuzzFail("the reset went on without an accepted gateway reply");
            resetRequest = requestFrame(CMD_FACTORY_RESET, std::span(b.data() + 5, 8));
        }
        if (!std::ranges::equal(e.bytes, resetRequest))
            fuzzFail("a reset request does not carry the gateway ID it was given");
        ++resetRequests;
    }
    constexpr std::array<std::uint8_t, 7> accepted = {0x00, 0x01, CMD_FACTORY_RESET, 0x08,
                                                      0x01, 0x00, FRAME_END};
    if (result == 1 && (resetRequests == 0 || reply.lastCount < accepted.size() ||
                        !std::equal(accepted.begin(), accepted.end(), reply.bytes.begin())))
        fuzzFail("the reset counted as accepted without an accepting reply");
    if (result == -2 && idRequests != CMD_ATTEMPTS && resetRequests != CMD_ATTEMPTS)
        fuzzFail("no valid response reported after other than six requests");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t which = data[0];
    lineStart(data + 1, size - 1);
    log_fp = nullLog();
    const int result = which < CONTROL_CODES.size()
                           ? sendControlCommand(CONTROL_CODES[which], CONTROL_LABELS[which])
                           : resetZigbee();
    log_fp = nullptr;
    expectResult(result, {1, -1, -2}, "the exchange returned an undocumented result");
    const std::vector<LineEvent> events = lineEvents();
    if (which < CONTROL_CODES.size())
        checkControl(CONTROL_CODES[which], result, events);
    else
        checkReset(result, events);
    return 0;
}
