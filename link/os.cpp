// The real operating-system calls under the link layer (see os.h). Nothing but the calls
// themselves lives here, so the fuzz targets can put their fake in place of this one object.
#include "link/os.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

int osPoll(int fd, int timeoutMs) {
    pollfd pfd{fd, POLLIN, 0};
    return poll(&pfd, 1, timeoutMs);
}

ssize_t osRead(int fd, void* buf, std::size_t len) {
    return read(fd, buf, len);
}

ssize_t osWrite(int fd, const void* buf, std::size_t len) {
    return write(fd, buf, len);
}

int osFlush(int fd, int queue) {
    return tcflush(fd, queue);
}

int osDrain(int fd) {
    return tcdrain(fd);
}

timespec osNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

int osSleep(const timespec& length, timespec* rest) {
    return nanosleep(&length, rest);
}
