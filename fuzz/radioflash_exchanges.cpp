// Fuzz target: radioflash's exchanges fed arbitrary replies: the version query (even first
// input byte) and the switch into the firmware receiver (odd); the rest is the line. Each
// opens its port itself: a memory file stands in for the device, the line is the fake's.
//
// Oracle: the version query returns 1, -1 or -2 and the switch 0 or -1; every request written
// is the documented frame; the version counts as read only from a whole version reply, the
// switch as done only when a start request was answered with a reply ending in 'C', or a prepare
// request with nothing but 'C' or NAK (a receiver already waiting); a switch that fails after a
// start request ends with CAN CAN CAN and nothing else does; and the version query gives up
// with -2 only after six requests.
#include "fuzz/fake_line.h"
#include "fuzz/oracle.h"
#include "link/frames.h"
#include "link/serial.h"
#include "radioflash/radioflash.h"
#include "xmodem/xmodem.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// A device path the exchanges can open and lock, private to this process.
const std::string& devicePath() {
    static const std::string path = [] {
        const int fd = memfd_create("module-port", MFD_CLOEXEC);
        if (fd < 0)
            fuzzFail("cannot make the stand-in device");
        return "/proc/self/fd/" + std::to_string(fd);
    }();
    return path;
}

void checkVersion(int result, const std::vector<LineEvent>& events) {
    const std::vector<std::uint8_t> request = requestFrame(CMD_GET_VERSION, {});
    int requests = 0;
    std::span<const std::uint8_t> last;
    for (const LineEvent& e : events) {
        if (e.op == LineOp::Write && !std::ranges::equal(e.bytes, request))
            fuzzFail("a version request is not the documented frame");
        requests += e.op == LineOp::Write ? 1 : 0;
        if (e.op == LineOp::Read)
            last = e.bytes;
    }
    if (result == 1 &&
        !(last.size() >= 8 && last[0] == 0x00 && last[1] == 0x01 && last[2] == CMD_GET_VERSION &&
          last[3] == 0x08 && last[4] == 0x02 && last[7] == FRAME_END))
        fuzzFail("a version was shown without a whole version reply");
    if (result == -2 && requests != EXCHANGE_RETRIES + 1)
        fuzzFail("no valid response reported after other than six requests");
}

void checkUpdateInit(int result, const std::vector<LineEvent>& events) {
    const std::vector<std::uint8_t> prepare = requestFrame(CMD_UPDATE_PREPARE, {});
    constexpr std::array<std::uint8_t, UPDATE_START_ZEROS> zeros{};
    const std::vector<std::uint8_t> start = requestFrame(CMD_UPDATE_START, zeros);
    bool lastWasStart = false;
    bool startAnswered = false;
    bool heard = false;   // something was read since the last request
    bool onlyAsks = true; // and all of it was 'C' or NAK
    std::span<const std::uint8_t> last;
    bool startSent = false;
    int cancels = 0;
    for (const LineEvent& e : events) {
        if (e.op == LineOp::Write && startSent && e.bytes.size() == 1 && e.bytes[0] == CAN) {
            ++cancels;
            continue;
        }
        if (e.op == LineOp::Write) {
            if (cancels > 0)
                fuzzFail("a request after the cancel");
            if (!std::ranges::equal(e.bytes, prepare) && !std::ranges::equal(e.bytes, start))
                fuzzFail("an update request is not the documented frame");
            startSent = startSent || std::ranges::equal(e.bytes, start);
            lastWasStart = std::ranges::equal(e.bytes, start);
            startAnswered = false;
            heard = false;
            onlyAsks = true;
            last = {};
        } else if (e.op == LineOp::Read) {
            heard = heard || !e.bytes.empty();
            onlyAsks = onlyAsks && std::ranges::all_of(e.bytes, [](std::uint8_t b) {
                           return b == 'C' || b == 0x15;
                       });
            last = e.bytes;
            startAnswered = true;
        }
    }
    // A start reply of nothing at all (the read met the end of file) counts as the request too;
    // a module already waiting in its receiver answers the prepare request with asks alone.
    if (result == 0 && !(lastWasStart && startAnswered && (last.empty() || last.back() == 'C')) &&
        !(!lastWasStart && heard && onlyAsks))
        fuzzFail("the module counted as waiting for an image without asking for one");
    if (cancels != (result == -1 && startSent ? 3 : 0))
        fuzzFail("a failed start not cancelled with CAN CAN CAN, or a cancel without one");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // The version goes to standard output; the fuzzer's output stays readable.
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        fuzzFail("cannot silence standard output");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const bool version = (data[0] & 1) == 0;
    const std::string& device = devicePath();
    lineStart(data + 1, size - 1);
    log_fp = nullLog();
    const int result = version ? GetCurrentVersion(device.c_str()) : Update_Init(device.c_str());
    closeSerial();
    log_fp = nullptr;
    const std::vector<LineEvent> events = lineEvents();
    if (version) {
        expectResult(result, {1, -1, -2}, "the version query returned an undocumented result");
        checkVersion(result, events);
    } else {
        expectResult(result, {0, -1},
                     "the switch into the firmware receiver returned an undocumented result");
        checkUpdateInit(result, events);
    }
    return 0;
}
