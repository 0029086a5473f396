// Command line, run-log routing and device choice of the shipped program.
#include "tests/pairvault/harness.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

} // namespace

TEST(PairvaultCli, UsageErrorsPrintUsageAndOpenNothing) {
    TempDir dir;
    const std::string log = dir / "run.log";
    const std::vector<std::vector<std::string>> badLines = {
        {"-backup", "x", "-l"},
        {"-restore", "a", "-backup", "b"},
        {"-backup", "b", "-restore", "a"},
        {"-ohub", "-bogus"},
        {"-ohub", ""},
        {"-backup"},
        {"backup.bin"},
        {"-Backup", "x"},
    };
    for (const auto& bad : badLines) {
        std::vector<std::string> argv = {programPath("pairvault"), "-l", log};
        argv.insert(argv.end(), bad.begin(), bad.end());
        const auto r = runProcess(argv);
        SCOPED_TRACE(argv.back());
        EXPECT_EQ(r.exitCode, 255);
        EXPECT_EQ(r.out, std::string("ERROR: argument error\n") + kUsageText);
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(exists(log));
    }
}

TEST(PairvaultCli, NoModeAfterSetUpSendsUsageToTheRunLog) {
    TempDir dir;
    const std::string log = dir / "run.log";

    // To a file: only the error line reaches stdout. The last "-l"/"-log" wins.
    auto r = runProcess({programPath("pairvault"), "-l", "stderr", "-log", log, "-ohub"});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.out, "ERROR: argument error\n");
    EXPECT_EQ(r.err, "");
    const std::string text = readText(log);
    EXPECT_TRUE(hasHeader(text)) << text;
    EXPECT_EQ(withoutHeader(text), std::string("device: /dev/ttyS4\n") + kUsageText);

    // Appended, with a header per run.
    r = runProcess({programPath("pairvault"), "-ohub", "-l", log});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(lines(readText(log)).size(), 2 * lines(text).size());

    // To standard error.
    r = runProcess({programPath("pairvault"), "-l", "stderr", "-ohub"});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.out, "ERROR: argument error\n");
    EXPECT_TRUE(hasHeader(r.err)) << r.err;
    EXPECT_EQ(withoutHeader(r.err), std::string("device: /dev/ttyS4\n") + kUsageText);

    // To standard output, interleaved in the order written.
    r = runProcess({programPath("pairvault"), "-ohub", "-l", "stdout"});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_TRUE(hasHeader(r.out)) << r.out;
    EXPECT_EQ(withoutHeader(r.out),
              std::string("device: /dev/ttyS4\nERROR: argument error\n") + kUsageText);
    EXPECT_EQ(r.err, "");
}

TEST(PairvaultCli, LogInMissingDirectoryFailsBeforeAnything) {
    TempDir dir;
    const std::string log = dir / "missing/run.log";
    const auto r = runProcess({programPath("pairvault"), "-reboot", "-ohub", "-l", log});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.out,
              "ERROR: cannot open log file\nERROR: No such file or directory: " + log + "\n");
    EXPECT_EQ(r.err, "");
}

TEST(PairvaultCli, DiscoveredAdapterCarriesTheRun) {
    TempDir dir;
    SimModule sim(dir, {});
    ASSERT_TRUE(sim.started());
    // Two adapters; only the second has the module's vendor and product.
    const auto adapters =
        fakeAdapters(dir, {{"ttyUSB0", "0403", "6015"}, {"ttyUSB3", "067b", "2303"}});

    const auto r = runPairvault(dir, sim.pty, {"-reboot"}, adapters, {}, "ttyUSB0");
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.out, "SUCCESS\n");
    const std::string log = defaultLog(dir);
    EXPECT_TRUE(hasHeader(log)) << log;
    EXPECT_EQ(lines(withoutHeader(log)).at(0), "device: /dev/ttyUSB0");
    EXPECT_EQ(sim.requests(), std::vector<std::string>{"00 00 06 00 00 aa"});
}

TEST(PairvaultCli, NoAdapterMeansNoPort) {
    TempDir dir;
    const std::string sysfs = dir / "usb-serial";
    mkdir(sysfs.c_str(), 0755);
    auto r = runPairvault(dir, "", {"-reboot"}, {"--usb-serial", sysfs});
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.out, "ERROR: cannot find port\n");
    EXPECT_EQ(withoutHeader(defaultLog(dir)), "ERROR: cannot find Zigbee device.\n");

    // No usb-serial bus at all.
    r = runPairvault(dir, "", {"-reboot"}, {"--no-usb-serial"});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.out, "ERROR: cannot find port\n");
    EXPECT_EQ(lines(defaultLog(dir)).back(), "ERROR: cannot find Zigbee device.");
}
