#include "tests/support/pty_pair.h"

#include <cstdio>
#include <cstdlib>
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
