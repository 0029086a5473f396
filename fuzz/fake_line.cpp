// The fake line behind link/os.h for the fuzz targets (see fake_line.h).
#include "fuzz/fake_line.h"

#include "fuzz/oracle.h"
#include "link/os.h"

#include <algorithm>
#include <cerrno>
#include <termios.h>

namespace {

struct Chunk {
    std::size_t begin;
    std::size_t end;
};

struct Recorded {
    LineOp op;
    std::size_t begin;
    std::size_t end;
};

struct Line {
    const std::uint8_t* input = nullptr;
    bool hangsUp = false;
    bool endOfFile = false;
    std::vector<Chunk> chunks;
    std::size_t delivered = 0;         // chunks on the line so far
    std::vector<std::uint8_t> waiting; // delivered bytes, read from `head` on
    std::size_t head = 0;
    std::int64_t nowUs = 0;
    std::int64_t quietSinceUs = -1;
    std::vector<std::uint8_t> record; // bytes of every recorded event, back to back
    std::vector<Recorded> events;
};

Line line;

std::size_t waitingCount() {
    return line.waiting.size() - line.head;
}

bool inputUsedUp() {
    return line.delivered == line.chunks.size() && waitingCount() == 0;
}

bool hungUp() {
    return line.hangsUp && inputUsedUp();
}

void noteQuiet() {
    if (line.quietSinceUs < 0 && inputUsedUp())
        line.quietSinceUs = line.nowUs;
}

void deliverNextChunk() {
    if (line.delivered == line.chunks.size())
        return;
    const Chunk c = line.chunks[line.delivered++];
    line.waiting.insert(line.waiting.end(), line.input + c.begin, line.input + c.end);
    noteQuiet();
}

void recordBytes(LineOp op, const std::uint8_t* bytes, std::size_t len) {
    const bool extend = op == LineOp::Read && !line.events.empty() &&
                        line.events.back().op == LineOp::Read &&
                        line.events.back().end == line.record.size();
    line.record.insert(line.record.end(), bytes, bytes + len);
    if (extend)
        line.events.back().end = line.record.size();
    else
        line.events.push_back({op, line.record.size() - len, line.record.size()});
}

void advance(std::int64_t us) {
    line.nowUs += us;
    if (line.nowUs > LINE_MAX_RUN_US)
        fuzzFail("the program kept waiting on the line for more than a day of virtual time");
}

} // namespace

void lineStart(const std::uint8_t* input, std::size_t size) {
    line.input = input;
    line.hangsUp = size > 0 && (input[0] & LINE_HANGS_UP) != 0;
    line.endOfFile = size > 0 && (input[0] & LINE_EOF) != 0;
    line.chunks.clear();
    std::size_t at = size > 0 ? 1 : 0;
    while (at < size) {
        std::size_t len = input[at++];
        if ((len & 0x80) != 0) {
            len = (len & 0x7F) << 8;
            if (at < size)
                len |= input[at++];
        }
        const std::size_t end = at + len < size ? at + len : size;
        line.chunks.push_back({at, end});
        at = end;
    }
    line.delivered = 0;
    line.waiting.clear();
    line.head = 0;
    line.nowUs = 0;
    line.quietSinceUs = -1;
    line.record.clear();
    line.events.clear();
    deliverNextChunk();
    noteQuiet();
}

std::vector<LineEvent> lineEvents() {
    std::vector<LineEvent> out;
    out.reserve(line.events.size());
    for (const Recorded& e : line.events)
        out.push_back({e.op, std::span(line.record.data() + e.begin, e.end - e.begin)});
    return out;
}

std::int64_t lineNowUs() {
    return line.nowUs;
}

std::int64_t lineQuietSinceUs() {
    return line.quietSinceUs;
}

// The fake calls. The descriptor is not looked at: whatever the program opened as its port,
// this is the line behind it.

int osPoll(int /*fd*/, int timeoutMs) {
    if (waitingCount() > 0 || hungUp())
        return 1;
    if (timeoutMs < 0)
        fuzzFail("poll without a timeout on a line that stays silent");
    advance(static_cast<std::int64_t>(timeoutMs) * 1000);
    return 0;
}

ssize_t osRead(int /*fd*/, void* buf, std::size_t len) {
    if (hungUp() && line.endOfFile) {
        line.events.push_back({LineOp::Read, line.record.size(), line.record.size()});
        return 0;
    }
    if (hungUp()) {
        errno = EIO;
        return -1;
    }
    const std::size_t n = len < waitingCount() ? len : waitingCount();
    if (n == 0) {
        errno = EAGAIN;
        return -1;
    }
    auto* out = static_cast<std::uint8_t*>(buf);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = line.waiting[line.head + i];
    recordBytes(LineOp::Read, line.waiting.data() + line.head, n);
    line.head += n;
    noteQuiet();
    return static_cast<ssize_t>(n);
}

ssize_t osWrite(int /*fd*/, const void* buf, std::size_t len) {
    recordBytes(LineOp::Write, static_cast<const std::uint8_t*>(buf), len);
    if (hungUp()) {
        errno = EIO;
        return -1;
    }
    deliverNextChunk();
    return static_cast<ssize_t>(len);
}

int osFlush(int /*fd*/, int queue) {
    if ((queue == TCIFLUSH || queue == TCIOFLUSH) && waitingCount() > 0) {
        recordBytes(LineOp::Discard, line.waiting.data() + line.head, waitingCount());
        line.head = line.waiting.size();
        noteQuiet();
    }
    return 0;
}

int osDrain(int /*fd*/) {
    return 0;
}

timespec osNow() {
    return {static_cast<time_t>(line.nowUs / 1000000),
            static_cast<long>(line.nowUs % 1000000) * 1000};
}

int osSleep(const timespec& length, timespec* rest) {
    if (length.tv_sec < 0 || length.tv_nsec < 0 || length.tv_nsec >= 1000000000L) {
        errno = EINVAL;
        return -1;
    }
    // Rounded up, as the kernel does: a pause is never shorter than asked.
    advance(static_cast<std::int64_t>(length.tv_sec) * 1000000 + (length.tv_nsec + 999) / 1000);
    if (rest != nullptr)
        *rest = {0, 0};
    return 0;
}
