#include "link/serial.h"

#include "link/interrupt.h"
#include "link/os.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

int SERIAL_FD = -1;
PortCheck portCheck = nullptr;

namespace {

// Waits up to `us` microseconds for the port to become readable. Returns true when poll
// reported the descriptor ready (which on a hung-up line need not mean a byte is there).
bool waitReadable(int fd, long us, const timespec& start) {
    for (;;) {
        const long left = us - microsSince(start);
        if (left <= 0)
            return false;
        // Round up so poll never gives back before the wait is over.
        const int r = osPoll(fd, static_cast<int>((left + 999) / 1000));
        if (r > 0)
            return true;
        if (r == 0)
            return false;
        if (errno != EINTR) {
            sleepInterruptibly(us - microsSince(start));
            return false;
        }
        endIfInterrupted();
    }
}

// The port's serial settings as Open_Serial found them, kept while the flags it set are in
// force (`flagsChangedOn` is then the port's descriptor, otherwise -1). Both are written before
// the flags are changed, so a signal arriving at any point finds what to put back.
constexpr int LOW_LATENCY = static_cast<int>(ASYNC_LOW_LATENCY);
serial_struct flagsFound{};
volatile std::sig_atomic_t flagsChangedOn = -1;

// The driver's settings are the port's, not the descriptor's: they outlive the run unless
// put back. Any refusal (no such ioctl, no permission) leaves the port as it is, silently.
void setLowLatency(int fd) {
    serial_struct found{};
    if (ioctl(fd, TIOCGSERIAL, &found) != 0 || (found.flags & LOW_LATENCY) != 0)
        return;
    static bool exitHookSet = false;
    if (!exitHookSet)
        exitHookSet = std::atexit(restorePortFlags) == 0;
    // Death by a signal runs no exit handler: the way out of an interrupted run puts them back.
    pushInterruptCleanup([](void* /*unused*/) { restorePortFlags(); }, nullptr);
    flagsFound = found;
    flagsChangedOn = fd;
    serial_struct low = found;
    low.flags |= LOW_LATENCY;
    if (ioctl(fd, TIOCSSERIAL, &low) != 0)
        flagsChangedOn = -1;
}

} // namespace

void pauseSeconds(unsigned seconds) {
    sleepInterruptibly(static_cast<long>(seconds) * 1000000L);
}

void restorePortFlags() {
    const int fd = flagsChangedOn;
    if (fd < 0)
        return;
    flagsChangedOn = -1;
    const int err = errno;
    (void)ioctl(fd, TIOCSSERIAL, &flagsFound);
    errno = err;
}

int Open_Serial(const char* path) {
    // Non-blocking from the start: a port left without CLOCAL would otherwise hold the open
    // until the line reports a carrier, which a module never does.
    const int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        printError("open");
        return -1;
    }
    // Status flags only: the close-on-exec flag is a descriptor flag and stays set.
    if (fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
        printError("fcntl");
        close(fd);
        return -1;
    }
    // The port belongs to one run at a time: a second run (or anything else that locks the
    // port) must not interleave its frames with ours, so it fails as if the port could not be
    // opened. The lock goes with the descriptor when it is closed or the process ends.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        printError("flock");
        close(fd);
        return -1;
    }
    setLowLatency(fd);
    return fd;
}

bool openModulePort(const char* path) {
    SERIAL_FD = Open_Serial(path);
    if (SERIAL_FD < 0)
        return false;
    if (portCheck != nullptr && !portCheck(SERIAL_FD, path)) {
        closeSerial();
        return false;
    }
    (void)SetComConf(SERIAL_FD);
    return true;
}

int SetComConf(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        printError("tcgetattr");
        return 255;
    }
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    // 8N1, receiver on, modem lines ignored, no hardware flow control.
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    osFlush(fd, TCIFLUSH);
    // Frames and XMODEM blocks carry every byte value, and the port may come to us with any
    // settings another program left (stty, a terminal program): fully raw, as cfmakeraw, so
    // no byte is stripped to 7 bits, dropped, translated, marked, echoed or taken for a
    // signal or for XON/XOFF.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IUCLC | IXON | IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON | ECHO | ECHOE | ECHONL | IEXTEN);
    tio.c_cc[VTIME] = 8;
    tio.c_cc[VMIN] = 0;
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        printError("tcsetattr");
        return 255;
    }
    osFlush(fd, TCIFLUSH);
    return 1;
}

void closeSerial() {
    restorePortFlags();
    if (SERIAL_FD >= 0)
        close(SERIAL_FD);
    SERIAL_FD = -1;
}

int Uart_Send(int fd, const std::uint8_t* data, std::size_t len, const char* label) {
    if (label != nullptr)
        traceBytes("Send ", label, data, len);
    osFlush(fd, TCOFLUSH);
    // One write of all `len` bytes; a short write is not retried.
    const ssize_t n = osWrite(fd, data, len);
    if (n < 0 || static_cast<std::size_t>(n) != len) {
        printError("write");
        return 255;
    }
    return 1;
}

int Uart_Recv(int fd, std::uint8_t* buf, const char* label) {
    const ssize_t n = osRead(fd, buf, UART_RECV_SIZE);
    if (n < 0)
        return -1;
    if (label != nullptr)
        traceBytes("Receive ", label, buf, static_cast<std::size_t>(n));
    return static_cast<int>(n);
}

int waitForByte(unsigned waits) {
    std::uint8_t c = 0;
    if (osRead(SERIAL_FD, &c, 1) == 1)
        return c;
    for (unsigned w = 0; w < waits; ++w) {
        endIfInterrupted();
        // Each wait ends as soon as a byte can be read, so a reply costs no idle time. A wait
        // that was cut short but yields no byte (a hung-up line reports "ready" for ever) is
        // made up to its full length: the silent-line timeout stays the same and the loop
        // never spins.
        const timespec start = osNow();
        const bool ready = waitReadable(SERIAL_FD, INBYTE_WAIT_US, start);
        if (osRead(SERIAL_FD, &c, 1) == 1)
            return c;
        if (ready)
            sleepInterruptibly(static_cast<long>(INBYTE_WAIT_US) - microsSince(start));
    }
    return -1;
}

int _inbyte(std::uint16_t timeout) {
    const unsigned waits = timeout * INBYTE_WAITS_PER_UNIT;
    const int c = waitForByte(waits);
    if (c < 0)
        logPrintf("inbyte failed %d times\n", static_cast<int>(waits));
    return c;
}

int _outbyte(int c) {
    const auto b = static_cast<std::uint8_t>(c);
    if (osWrite(SERIAL_FD, &b, 1) != 1) {
        printError("write");
        return -1;
    }
    return 1;
}

void flushinput() {
    osFlush(SERIAL_FD, TCOFLUSH);
}

void drainOutput() {
    // A signal meanwhile ends the run here; a port that is no terminal has nothing to drain.
    while (osDrain(SERIAL_FD) != 0 && errno == EINTR)
        endIfInterrupted();
}

void discardInput() {
    osFlush(SERIAL_FD, TCIFLUSH);
}
