// Preloaded into the shipped programs by benchmarks and tests only (never installed, never
// linked into them): plays the serial driver's TIOCGSERIAL / TIOCSSERIAL on a terminal, which a
// pseudo-terminal does not have, so that a run on a test line meets a port with the low-latency
// switch of a USB-serial adapter's driver, and others can see what it did with it.
//
// SERIAL_FLAGS_SHIM=<file> turns it on (without it every call passes through untouched):
//  - <file> holds the port's serial flags, a native int at its start (missing or short: 0).
//    TIOCGSERIAL on a terminal reports them, TIOCSSERIAL stores them. A test writes the flags
//    the run is to find; the paced relay's adapter model reads them to pick its latency timer.
//  - <file>.events gets one line per event:
//      "set <flags>"          a TIOCSSERIAL, flags in hex; " other-fields" is added when the
//                             call changed anything else of what TIOCGSERIAL reported
//      "write <flags>"        a write to a terminal (other than descriptors 0-2) under flags
//                             that differ from those of the last such line of this process,
//                             so the first frame sent under each setting shows.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

template <typename F> F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using IoctlFn = int (*)(int, unsigned long, void*);
using WriteFn = ssize_t (*)(int, const void*, size_t);

// What TIOCGSERIAL reports besides the flags: an FT-X adapter's port as ftdi_sio shows it.
serial_struct reported(int flags) {
    serial_struct s{};
    s.type = PORT_16550A;
    s.line = 0;
    s.flags = flags;
    s.xmit_fifo_size = 512;
    s.baud_base = 3000000;
    s.close_delay = 50;
    s.closing_wait = 3000;
    return s;
}

bool sameBesidesFlags(const serial_struct& a, const serial_struct& b) {
    return a.type == b.type && a.line == b.line && a.port == b.port && a.irq == b.irq &&
           a.xmit_fifo_size == b.xmit_fifo_size && a.custom_divisor == b.custom_divisor &&
           a.baud_base == b.baud_base && a.close_delay == b.close_delay && a.io_type == b.io_type &&
           a.hub6 == b.hub6 && a.closing_wait == b.closing_wait &&
           a.closing_wait2 == b.closing_wait2 && a.iomem_base == b.iomem_base &&
           a.iomem_reg_shift == b.iomem_reg_shift && a.port_high == b.port_high &&
           a.iomap_base == b.iomap_base;
}

const char* statePath() {
    static const char* path = std::getenv("SERIAL_FLAGS_SHIM");
    return path;
}

int readFlags() {
    int flags = 0;
    const int fd = open(statePath(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        if (pread(fd, &flags, sizeof flags, 0) != static_cast<ssize_t>(sizeof flags))
            flags = 0;
        close(fd);
    }
    return flags;
}

void writeFlags(int flags) {
    const int fd = open(statePath(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        (void)!pwrite(fd, &flags, sizeof flags, 0);
        close(fd);
    }
}

void event(const char* what, int flags, const char* extra) {
    static WriteFn realWrite = real<WriteFn>("write");
    char path[4096];
    std::snprintf(path, sizeof path, "%s.events", statePath());
    char line[128];
    const int n = std::snprintf(line, sizeof line, "%s %x%s\n", what, flags, extra);
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        (void)!realWrite(fd, line, static_cast<size_t>(n));
        close(fd);
    }
}

} // namespace

extern "C" {

int ioctl(int fd, unsigned long request, ...) {
    static IoctlFn realIoctl = real<IoctlFn>("ioctl");
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (statePath() == nullptr || (request != TIOCGSERIAL && request != TIOCSSERIAL) || !isatty(fd))
        return realIoctl(fd, request, arg);
    auto* s = static_cast<serial_struct*>(arg);
    if (request == TIOCGSERIAL) {
        *s = reported(readFlags());
        return 0;
    }
    writeFlags(s->flags);
    event("set", s->flags, sameBesidesFlags(*s, reported(s->flags)) ? "" : " other-fields");
    return 0;
}

ssize_t write(int fd, const void* buf, size_t n) {
    static WriteFn realWrite = real<WriteFn>("write");
    static int lastFlags = -1;
    if (statePath() != nullptr && fd > 2 && isatty(fd)) {
        const int errnoBefore = errno;
        const int flags = readFlags();
        if (flags != lastFlags) {
            event("write", flags, "");
            lastFlags = flags;
        }
        errno = errnoBefore;
    }
    return realWrite(fd, buf, n);
}
}
