// A pseudo-terminal pair for tests: the code under test opens or uses the slave side, the
// simulated peer works on the master side.
#pragma once

#include <string>

struct PtyPair {
    int master = -1;
    int slave = -1; // kept open so the master never sees a hang-up between opens
    std::string slavePath;

    PtyPair(); // raw mode on both sides; aborts the test program if no pty can be had
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;
};
