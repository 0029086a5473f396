#include "filetransfer/progress.h"

#include "link/run_log.h"
#include "xmodem/xmodem.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr double RENDER_INTERVAL_S = 0.2; // a terminal redrawn faster only flickers
constexpr double RATE_SETTLE_S = 0.5;     // a rate over less time than this is mostly noise
constexpr int DEFAULT_COLUMNS = 80;
constexpr std::size_t LINE_MAX = 160; // longest text ever drawn, whatever the terminal width

constexpr char ERASE_LINE[] = "\r\033[K";

struct State {
    int fd = -1; // the terminal, opened anew for non-blocking writes
    bool active = false;
    bool drawn = false;
    bool started = false; // a first block has arrived
    std::int64_t total = -1;
    double firstAt = 0; // when the first block arrived: the rate leaves out the sync wait
    std::int64_t firstDone = 0;
    double lastDrawAt = 0;
};
State state;

double now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int terminalColumns() {
    winsize ws{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    return DEFAULT_COLUMNS;
}

// A job that was moved to the background (Ctrl-Z, bg) leaves the terminal to the foreground;
// with "stty tostop" a write from there would even stop the whole transfer. A terminal that is
// not ours to control has no background.
bool inForeground() {
    const pid_t fg = tcgetpgrp(state.fd);
    return fg < 0 || fg == getpgrp();
}

// Writes as much of the line as the terminal takes at once; returns whether any of it went.
// A terminal that would block (output stopped with Ctrl-S, a stalled SSH channel) gets nothing
// and only loses this drawing: the transfer never waits for it.
bool writeLine(const char* data, std::size_t len) {
    if (!inForeground())
        return false;
    bool any = false;
    while (len > 0) {
        const ssize_t n = write(state.fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        any = true;
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return any;
}

// The run log shares the terminal when it is standard error itself or another descriptor on
// the same terminal ("-l stdout" at an interactive shell); its lines would land inside ours.
bool logSharesStderr() {
    if (log_fp == nullptr)
        return false;
    if (log_fp == stderr)
        return true;
    const int fd = fileno(log_fp);
    struct stat logSt {};
    struct stat errSt {};
    if (fd < 0 || !isatty(fd) || fstat(fd, &logSt) != 0 || fstat(STDERR_FILENO, &errSt) != 0)
        return false;
    return logSt.st_rdev == errSt.st_rdev;
}

void draw(std::int64_t done, double at) {
    double rate = -1;
    if (at - state.firstAt >= RATE_SETTLE_S)
        rate = static_cast<double>(done - state.firstDone) / (at - state.firstAt);
    std::array<char, LINE_MAX + 1> text{};
    formatProgress(text, done, state.total, rate, terminalColumns());
    // Carriage return, text, erase to the end of the line: one write per update.
    std::array<char, LINE_MAX + 8> line{};
    const int len = std::snprintf(line.data(), line.size(), "\r%s\033[K", text.data());
    if (len > 0 && writeLine(line.data(), static_cast<std::size_t>(len)))
        state.drawn = true;
    state.lastDrawAt = at;
}

void onBlock(std::int64_t done, std::int64_t /*total*/) {
    const double at = now();
    if (!state.started) {
        state.started = true;
        state.firstAt = at;
        state.firstDone = done;
        draw(done, at);
        return;
    }
    if (at - state.lastDrawAt >= RENDER_INTERVAL_S)
        draw(done, at);
}

// Appends printf-formatted text to out[len..], never past `limit` characters in all.
// Returns false (and appends nothing) when it would not fit.
__attribute__((format(printf, 4, 5))) bool append(std::span<char> out, std::size_t& len,
                                                  std::size_t limit, const char* fmt, ...) {
    std::array<char, 64> field{};
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(field.data(), field.size(), fmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<std::size_t>(n) >= field.size() ||
        len + static_cast<std::size_t>(n) > limit)
        return false;
    std::memcpy(out.data() + len, field.data(), static_cast<std::size_t>(n));
    len += static_cast<std::size_t>(n);
    return true;
}

// "512 B", "12.0 KiB", "3.4 MiB", "1.2 GiB".
void formatSize(std::array<char, 24>& buf, double bytes) {
    static constexpr std::array<const char*, 3> UNITS = {"KiB", "MiB", "GiB"};
    if (bytes < 1024) {
        std::snprintf(buf.data(), buf.size(), "%.0f B", bytes);
        return;
    }
    std::size_t unit = 0;
    bytes /= 1024;
    while (bytes >= 1024 && unit + 1 < UNITS.size()) {
        bytes /= 1024;
        ++unit;
    }
    std::snprintf(buf.data(), buf.size(), "%.1f %s", bytes, UNITS[unit]);
}

} // namespace

std::size_t formatProgress(std::span<char> out, std::int64_t done, std::int64_t total,
                           double bytesPerSecond, int columns) {
    if (out.empty())
        return 0;
    // The sender counts the fill of its last block too; nobody wants to see 100.5 %.
    if (total >= 0 && done > total)
        done = total;
    if (done < 0)
        done = 0;
    const std::size_t width = columns > 1 ? static_cast<std::size_t>(columns - 1) : 0;
    const std::size_t limit = std::min(width, out.size() - 1);
    std::size_t len = 0;

    std::array<char, 24> a{};
    std::array<char, 24> b{};
    formatSize(a, static_cast<double>(done));
    bool fits;
    if (total >= 0) {
        formatSize(b, static_cast<double>(total));
        fits = append(out, len, limit, "  %s of %s", a.data(), b.data());
    } else {
        fits = append(out, len, limit, "  %s received", a.data());
    }
    if (fits && bytesPerSecond >= 0) {
        formatSize(a, bytesPerSecond);
        fits = append(out, len, limit, "   %s/s", a.data());
        if (fits && total >= 0 && bytesPerSecond > 0) {
            const double left = static_cast<double>(total - done) / bytesPerSecond + 0.5;
            const long long s = left < 1e9 ? static_cast<long long>(left) : 999999999LL;
            if (s >= 3600)
                append(out, len, limit, "   %lld:%02lld:%02lld left", s / 3600, s / 60 % 60,
                       s % 60);
            else
                append(out, len, limit, "   %lld:%02lld left", s / 60, s % 60);
        }
    }
    out[len] = '\0';
    return len;
}

void progressBegin(std::int64_t total) {
    state = State{};
    if (!isatty(STDERR_FILENO) || logSharesStderr())
        return;
    // A descriptor of our own, so that non-blocking writes leave standard error (shared with
    // the shell) as it is.
    state.fd = open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (state.fd < 0)
        return;
    state.active = true;
    state.total = total;
    xmodemProgress = onBlock;
}

void progressEnd() {
    if (state.active && xmodemProgress == onBlock)
        xmodemProgress = nullptr;
    if (state.drawn)
        writeLine(ERASE_LINE, sizeof ERASE_LINE - 1);
    if (state.fd >= 0)
        close(state.fd);
    state = State{};
}
