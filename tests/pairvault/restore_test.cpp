// Restore mode, end to end: what reaches the module, the run log of a typical run, and restore
// files that are refused before the module hears anything.
#include "tests/pairvault/harness.h"
#include "tests/support/data.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

namespace {

const std::string kRestore = "00 00 0a 00 00 aa";
const std::string kReboot = "00 00 06 00 00 aa";

std::vector<std::string> withoutInbyteLines(const std::vector<std::string>& log) {
    std::vector<std::string> kept;
    for (const auto& line : log)
        if (line.rfind("inbyte failed", 0) != 0)
            kept.push_back(line);
    return kept;
}

} // namespace

TEST(PairvaultRestore, TypicalRunLogAndData) {
    TempDir dir;
    const auto data = writePattern(dir / "restore.bin", 200);
    SimModule sim(dir, {"--table", dir / "table"});
    ASSERT_TRUE(sim.started());
    const auto r = runPairvault(dir, sim.pty, {"-restore", dir / "restore.bin", "-ohub"});
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.out, "SUCCESS\n");
    // The 5-second pause after the transfer.
    EXPECT_GE(r.seconds, 7.0);

    EXPECT_EQ(readFile(dir / "table"), withFill(data));
    EXPECT_EQ(sim.requests(), (std::vector<std::string>{kRestore, kReboot}));
    auto log = withoutInbyteLines(lines(withoutHeader(defaultLog(dir))));
    // The module may start asking for the data ("C") before the reply has been read; those
    // bytes end up in the same read and its trace.
    ASSERT_GE(log.size(), 5u);
    const std::string accepted = "Receive Restore Command: 00 01 0a 08 01 00 aa ";
    EXPECT_EQ(log[4].substr(0, accepted.size()), accepted);
    log[4] = accepted;
    EXPECT_EQ(log, (std::vector<std::string>{
                       "device: /dev/ttyS4",
                       "Preparing to restore device /dev/ttyS4...",
                       "restore filename: " + dir / "restore.bin",
                       "Send Restore Command: 00 00 0a 00 00 aa ",
                       "Receive Restore Command: 00 01 0a 08 01 00 aa ",
                       "restore file size = 200",
                       "Now restoring...may take 0 mins.",
                       "result = 256 (success)",
                       "Send Reboot Command: 00 00 06 00 00 aa ",
                       "Receive Reboot Command: 00 01 06 08 01 00 aa ",
                   }));
}

TEST(PairvaultRestore, EstimateIsWholeMinutesAt61440BytesEach) {
    TempDir dir;
    SimModule sim(dir, {});
    ASSERT_TRUE(sim.started());
    for (const std::size_t size : {std::size_t{61439}, std::size_t{61440}}) {
        writePattern(dir / "r.bin", size);
        const auto r = runPairvault(dir, sim.pty, {"-ohub", "-restore", dir / "r.bin"});
        SKIP_WITHOUT_SANDBOX(r);
        EXPECT_EQ(r.exitCode, 1) << r.err;
        const std::string log = defaultLog(dir);
        const std::string minutes = size == 61439 ? "0" : "1";
        EXPECT_NE(log.find("restore file size = " + std::to_string(size) +
                           "\nNow restoring...may take " + minutes + " mins.\n"),
                  std::string::npos)
            << log;
    }
}

TEST(PairvaultRestore, RebootNotAcceptedAfterTransferFails) {
    TempDir dir;
    writePattern(dir / "r.bin", 128);
    SimModule sim(dir, {"--reply", "06=status:01"});
    ASSERT_TRUE(sim.started());
    const auto r = runPairvault(dir, sim.pty, {"-ohub", "-restore", dir / "r.bin"});
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.out, "ERROR\n");
    const auto rx = sim.requests();
    ASSERT_EQ(rx.size(), 7u);
    EXPECT_EQ(rx[0], kRestore);
    EXPECT_EQ(rx[6], kReboot);
    EXPECT_NE(defaultLog(dir).find("result = 256 (success)\n"), std::string::npos);
}
