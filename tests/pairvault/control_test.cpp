// The bare reboot and create-network commands, end to end.
#include "tests/pairvault/harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {
const std::string kReboot = "00 00 06 00 00 aa";
} // namespace

TEST(PairvaultControl, RebootWinsAndIsTracedInTheDefaultLog) {
    TempDir dir;
    SimModule sim(dir, {});
    ASSERT_TRUE(sim.started());
    const auto r = runPairvault(dir, sim.pty, {"-create", "-reset", "-reboot", "-ohub"});
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.out, "SUCCESS\n");
    EXPECT_EQ(sim.requests(), std::vector<std::string>{kReboot});
    const std::string log = defaultLog(dir);
    EXPECT_TRUE(hasHeader(log)) << log;
    EXPECT_EQ(withoutHeader(log), "device: /dev/ttyS4\n"
                                  "Send Reboot Command: 00 00 06 00 00 aa \n"
                                  "Receive Reboot Command: 00 01 06 08 01 00 aa \n");
}

TEST(PairvaultControl, CreateNetworkWithLogOnStdout) {
    TempDir dir;
    SimModule sim(dir, {});
    ASSERT_TRUE(sim.started());
    const auto r = runPairvault(dir, sim.pty, {"-ohub", "-create", "-l", "stdout"});
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_TRUE(hasHeader(r.out)) << r.out;
    EXPECT_EQ(withoutHeader(r.out), "device: /dev/ttyS4\n"
                                    "Send Create Network Command: 00 00 03 00 00 aa \n"
                                    "Receive Create Network Command: 00 01 03 08 01 00 aa \n"
                                    "SUCCESS\n");
    EXPECT_EQ(sim.requests(), std::vector<std::string>{"00 00 03 00 00 aa"});
}

TEST(PairvaultControl, AnsweredButNeverAcceptedExits254) {
    TempDir dir;
    SimModule sim(dir, {"--reply", "06=status:01"});
    ASSERT_TRUE(sim.started());
    const auto r = runPairvault(dir, sim.pty, {"-reboot", "-ohub"});
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.exitCode, 254);
    EXPECT_EQ(r.out, "ERROR\n");
    EXPECT_EQ(sim.requests(), std::vector<std::string>(6, kReboot));
    const auto log = lines(defaultLog(dir));
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "No valid response.");
}

TEST(PairvaultControl, SilentModuleEndsAfterTheFirstSecond) {
    TempDir dir;
    SimModule sim(dir, {"--reply", "06=silent"});
    ASSERT_TRUE(sim.started());
    const auto r = runPairvaultTimed(dir, sim, {"-reboot", "-ohub"});
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.out, "ERROR\n");
    EXPECT_EQ(sim.requests(), std::vector<std::string>{kReboot});
    // One pause of a second, not six.
    EXPECT_GE(r.afterFirstRequest, 0.9);
    EXPECT_LT(r.afterFirstRequest, 5.0);
}

TEST(PairvaultControl, BusyPortFailsLikeAnUnopenablePort) {
    TempDir dir;
    SimModule sim(dir, {});
    ASSERT_TRUE(sim.started());
    const int holder = open(sim.pty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    const auto r = runPairvault(dir, sim.pty, {"-reboot", "-ohub"});
    close(holder);
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.out, "");
    const auto log = lines(withoutHeader(defaultLog(dir)));
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], "device: /dev/ttyS4");
    EXPECT_EQ(log[1].rfind("flock: ", 0), 0u) << log[1];
    EXPECT_TRUE(sim.requests().empty());
}
