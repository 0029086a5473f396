// Reset mode, end to end: the two-stage exchange and the blank restore and backup around it.
#include "tests/pairvault/harness.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <unistd.h>
#include <utility>

namespace {
const std::string kGatewayId = "00 00 04 00 00 aa";
const std::string kRestore = "00 00 0a 00 00 aa";
const std::string kReboot = "00 00 06 00 00 aa";
const std::string kBackup = "00 00 09 00 00 aa";
} // namespace

TEST(PairvaultReset, CarriesTheFirstEightIdBytes) {
    TempDir dir;
    // A 9-byte ID payload: only its first 8 bytes go back.
    SimModule sim(dir, {"--gateway-id", "a1b2c3d4e5f60718ff"});
    ASSERT_TRUE(sim.started());
    const auto r = runPairvault(dir, sim.pty, {"-reset", "-ohub"});
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.out, "SUCCESS\n");
    EXPECT_EQ(sim.requests(),
              (std::vector<std::string>{kGatewayId, "00 00 07 00 08 a1 b2 c3 d4 e5 f6 07 18 aa"}));
    EXPECT_EQ(withoutHeader(defaultLog(dir)),
              "device: /dev/ttyS4\n"
              "Preparing to reset device /dev/ttyS4...\n"
              "Send Get gateway device ID: 00 00 04 00 00 aa \n"
              "Receive Get gateway device ID: 00 01 04 08 09 a1 b2 c3 d4 e5 f6 07 18 ff aa \n"
              "Send Factory reset: 00 00 07 00 08 a1 b2 c3 d4 e5 f6 07 18 aa \n"
              "Receive Factory reset: 00 01 07 08 01 00 aa \n");
}

TEST(PairvaultReset, BlankRestoreRebootsBeforeTheReset) {
    TempDir dir;
    writeFile(dir / "blank.bin", std::vector<std::uint8_t>(128, 0x5a));
    SimModule sim(dir, {"--table", dir / "table"});
    ASSERT_TRUE(sim.started());
    auto r = runPairvault(dir, sim.pty, {"-ohub", "-restore", dir / "blank.bin", "-reset"});
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.out, "SUCCESS\n");
    const auto rx = sim.requests();
    ASSERT_EQ(rx.size(), 4u);
    EXPECT_EQ(rx[0], kRestore);
    EXPECT_EQ(rx[1], kReboot);
    EXPECT_EQ(rx[2], kGatewayId);
    EXPECT_EQ(rx[3].substr(0, 14), "00 00 07 00 08");

    // A blank restore file that is not there, or is empty, stops the run before any frame.
    writeFile(dir / "empty.bin", {});
    const std::string emptyLines = "ERROR: No data available: " + dir / "empty.bin" +
                                   "\nERROR: invalid file size, " + dir / "empty.bin" + "\n";
    for (const auto& [name, lines] :
         {std::pair{"none.bin", "ERROR: No such file or directory: " + dir / "none.bin" + "\n"},
          std::pair{"empty.bin", emptyLines}}) {
        r = runPairvault(dir, sim.pty, {"-ohub", "-reset", "-restore", dir / name});
        EXPECT_EQ(r.exitCode, 255);
        EXPECT_EQ(r.out, "ERROR: invalid restore file\n" + lines);
    }
    EXPECT_EQ(sim.requests().size(), 4u);
}

TEST(PairvaultReset, BlankBackupAfterTheReset) {
    TempDir dir;
    const std::vector<std::uint8_t> blank = {1, 2, 3};
    writeFile(dir / "blank-table", blank);
    SimModule sim(dir, {"--blank-table", dir / "blank-table"});
    ASSERT_TRUE(sim.started());
    const auto r = runPairvault(dir, sim.pty, {"-reset", "-backup", dir / "blank.bin", "-ohub"});
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.out, "SUCCESS\n");
    auto expected = blank;
    expected.push_back(0x1a);
    expected.resize(128, 0);
    EXPECT_EQ(readFile(dir / "blank.bin"), expected);
    const auto rx = sim.requests();
    ASSERT_EQ(rx.size(), 3u);
    EXPECT_EQ(rx[2], kBackup);
}

TEST(PairvaultReset, FailedBlankBackupFailsTheRun) {
    TempDir dir;
    SimModule sim(dir, {"--xm-cancel", "1"});
    ASSERT_TRUE(sim.started());
    const auto r = runPairvault(dir, sim.pty, {"-reset", "-backup", dir / "blank.bin", "-ohub"});
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.out, "ERROR: fail to backup\n");
    EXPECT_NE(access((dir / "blank.bin").c_str(), F_OK), 0); // nothing left behind

    // A target a plain backup refuses refuses the whole run, before the module is reset.
    const std::string nodir = dir / "nodir/blank.bin";
    const auto refused = runPairvault(dir, sim.pty, {"-reset", "-backup", nodir, "-ohub"});
    EXPECT_EQ(refused.exitCode, 255);
    EXPECT_EQ(refused.out, "ERROR: cannot open " + nodir + "\n");
    EXPECT_EQ(lines(defaultLog(dir)).back(), "ERROR: No such file or directory: " + nodir);
    EXPECT_EQ(sim.requests().size(), 3u); // those of the first run only
}
