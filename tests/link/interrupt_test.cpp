// How an interrupted run ends, in a child process: death by the very signal (not an exit status
// that looks like it), CAN CAN CAN on the port only while a transfer is in progress, the
// registered cleanup run, and the run log's last line naming the signal. The end-to-end matrix
// is in tests/faults/interrupt_test.cpp.
#include "link/interrupt.h"
#include "link/serial.h"
#include "tests/support/pty_pair.h"
#include "tests/support/tempdir.h"
#include "xmodem/xmodem_internal.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <optional>

namespace {

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
                    pushInterruptCleanup([](void* p) { unlink(static_cast<char*>(p)); },
                                         temp.data());
                    std::optional<TransferInProgress> transfer;
                    if (inTransfer)
                        transfer.emplace();
                    raise(sig);
                    _inbyte(1); // a wait notices the signal
                    _exit(3);
                },
                testing::KilledBySignal(sig), "");
            EXPECT_EQ(readUntilQuiet(pty.master, 300), inTransfer
                                                           ? std::vector<std::uint8_t>(3, 0x18)
                                                           : std::vector<std::uint8_t>{});
            EXPECT_EQ(readText(temp), "") << "the cleanup removes the temporary file";
            const std::string text = readText(log);
            EXPECT_TRUE(text.ends_with(std::string("\nERROR: ") + strsignal(sig) + "\n")) << text;
        }
    }
}

} // namespace
