// The bare reboot and create-network commands, end to end, and modules that never accept them.
#include "tests/pairvault/harness.h"

#include <gtest/gtest.h>

namespace {
const std::string kReboot = "00 00 06 00 00 aa";
const std::string kGatewayId = "00 00 04 00 00 aa";
} // namespace

// -reboot wins over every other mode; both commands are traced, in the default log or on stdout.
TEST(PairvaultControl, RebootAndCreateAreTracedInTheRunLog) {
    const struct {
        std::vector<std::string> args;
        std::string name, request, reply;
        bool logOnStdout;
    } cases[] = {
        {{"-create", "-reset", "-reboot", "-ohub"},
         "Reboot Command",
         kReboot,
         "00 01 06 08 01 00 aa",
         false},
        {{"-ohub", "-create", "-l", "stdout"},
         "Create Network Command",
         "00 00 03 00 00 aa",
         "00 01 03 08 01 00 aa",
         true},
    };
    for (const auto& c : cases) {
        TempDir dir;
        SimModule sim(dir, {});
        ASSERT_TRUE(sim.started());
        const auto r = runPairvault(dir, sim.pty, c.args);
        SKIP_WITHOUT_SANDBOX(r);
        EXPECT_EQ(r.exitCode, 1) << r.err;
        const std::string log = c.logOnStdout ? r.out : defaultLog(dir);
        EXPECT_TRUE(hasHeader(log)) << log;
        EXPECT_EQ(withoutHeader(log), "device: /dev/ttyS4\nSend " + c.name + ": " + c.request +
                                          " \nReceive " + c.name + ": " + c.reply + " \n" +
                                          (c.logOnStdout ? "SUCCESS\n" : ""));
        if (!c.logOnStdout) {
            EXPECT_EQ(r.out, "SUCCESS\n");
        }
        EXPECT_EQ(sim.requests(), std::vector<std::string>{c.request});
    }
}

// Replies that are never accepted: six requests a second apart, then "No valid response." (the
// reboot exits 254 when it was answered at all). A module that does not answer the reboot, or
// the reset's first stage, gets one request and one pause of a second, not six.
TEST(PairvaultControl, UnacceptedCommandsAreBounded) {
    const struct {
        std::string reply, mode, request;
        int status;
        std::size_t requests;
        std::string lastLog;
    } cases[] = {
        {"06=status:01", "-reboot", kReboot, 254, 6, "No valid response."},
        // 14 bytes ending in AA, but a payload length of 7.
        {"04=bytes:000104080701020304050607aa", "-reset", kGatewayId, 255, 6, "No valid response."},
        {"06=silent", "-reboot", kReboot, 255, 1, "Send Reboot Command: " + kReboot + " "},
        {"04=silent", "-reset", kGatewayId, 255, 1,
         "Send Get gateway device ID: " + kGatewayId + " "},
    };
    for (const auto& c : cases) {
        TempDir dir;
        SimModule sim(dir, {"--reply", c.reply});
        ASSERT_TRUE(sim.started());
        const auto r = runPairvaultTimed(dir, sim, {c.mode, "-ohub"});
        SKIP_WITHOUT_SANDBOX(r);
        EXPECT_EQ(r.exitCode, c.status) << c.reply;
        EXPECT_EQ(r.out, "ERROR\n");
        EXPECT_EQ(sim.requests(), std::vector<std::string>(c.requests, c.request));
        const auto log = lines(defaultLog(dir));
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back(), c.lastLog);
        EXPECT_GE(r.afterFirstRequest, 0.9 * static_cast<double>(c.requests)) << c.reply;
        if (c.requests == 1) {
            EXPECT_LT(r.afterFirstRequest, 5.0) << c.reply;
        }
    }
}
