#include "tests/support/pty_pair.h"

#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PtyPair::PtyPair() {
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master, &slave, name, &raw, nullptr) != 0) {
        std::perror("openpty");
        std::abort();
    }
    slavePath = name;
}

PtyPair::~PtyPair() {
    if (slave >= 0)
        close(slave);
    if (master >= 0)
        close(master);
}

int readByteWithin(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0 || (p.revents & POLLIN) == 0)
        return -1;
    std::uint8_t b = 0;
    return read(fd, &b, 1) == 1 ? b : -1;
}

std::vector<std::uint8_t> readBytes(int fd, std::size_t n, int ms) {
    std::vector<std::uint8_t> out;
    while (out.size() < n) {
        const int c = readByteWithin(fd, ms);
        if (c < 0)
            break;
        out.push_back(static_cast<std::uint8_t>(c));
    }
    return out;
}

std::vector<std::uint8_t> readUntilQuiet(int fd, int ms) {
    std::vector<std::uint8_t> out;
    for (int c; (c = readByteWithin(fd, ms)) >= 0;)
        out.push_back(static_cast<std::uint8_t>(c));
    return out;
}

void writeRaw(int fd, const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}
