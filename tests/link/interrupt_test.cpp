// How an interrupted run ends, in a child process: death by the very signal (not an exit status
// that looks like it), CAN CAN CAN on the port only while a transfer is in progress, the
// registered cleanup run, and the run log's last line naming the signal. The end-to-end matrix
// is in tests/faults/interrupt_test.cpp.
#include "link/interrupt.h"
#include "link/serial.h"
#include "tests/support/pty_pair.h"
#include "tests/support/tempdir.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <cstring>
#include <optional>

namespace {

std::string pending(int fd) {
    std::string got;
    char buf[64];
    for (pollfd p{fd, POLLIN, 0}; poll(&p, 1, 300) > 0;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

TEST(Interrupt, EndsTheRunAndDiesByTheSignal) {
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        for (const bool inTransfer : {false, true}) {
            SCOPED_TRACE(std::string(strsignal(sig)) + (inTransfer ? ", transfer" : ""));
            PtyPair pty;
            TempDir dir;
            const std::string log = dir / "run.log";
            std::string temp = dir / ".backup.bin.XXXXXX";
            writeText(temp, "partial");
            EXPECT_EXIT(
                {
                    setUpProcess();
                    if (openRunLog(log.c_str(), "test", "now") != 0)
                        _exit(2);
                    SERIAL_FD = Open_Serial(pty.slavePath.c_str());
                    setInterruptCleanup([](void* p) { unlink(static_cast<char*>(p)); },
                                        temp.data());
                    std::optional<TransferInProgress> transfer;
                    if (inTransfer)
                        transfer.emplace();
                    raise(sig);
                    _inbyte(1); // a wait notices the signal
                    _exit(3);
                },
                testing::KilledBySignal(sig), "");
            EXPECT_EQ(pending(pty.master), inTransfer ? "\x18\x18\x18" : "");
            EXPECT_EQ(readText(temp), "") << "the cleanup removes the temporary file";
            const std::string text = readText(log);
            EXPECT_TRUE(text.ends_with(std::string("\nERROR: ") + strsignal(sig) + "\n")) << text;
        }
    }
}

} // namespace
