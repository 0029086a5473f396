// The sandbox runner, and the simulated module driven by the shipped programs through it.
#include "tests/support/process.h"
#include "tests/support/tempdir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string kSandbox = std::string(ZB_SOURCE_DIR) + "/tools/sandbox";
const std::string kSim = std::string(ZB_BIN_DIR) + "/sim/modulesim";

#define SKIP_WITHOUT_NAMESPACE(result)                                                             \
    do {                                                                                           \
        if ((result).exitCode == 77)                                                               \
            GTEST_SKIP() << (result).err;                                                          \
    } while (0)

struct Sim {
    std::unique_ptr<BackgroundProcess> proc;
    std::string pty;
    explicit Sim(std::vector<std::string> argv) {
        argv.insert(argv.begin(), kSim);
        proc = std::make_unique<BackgroundProcess>(argv);
        if (!proc->readLine(pty))
            pty.clear();
    }
};

ProcessResult sandboxed(const std::vector<std::string>& options, const std::string& script) {
    std::vector<std::string> argv{kSandbox};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {"--", "/bin/sh", "-c", script});
    return runProcess(argv, {}, 60);
}

std::vector<std::uint8_t> withFill(std::vector<std::uint8_t> data) {
    data.push_back(0x1A);
    while (data.size() % 128 != 0)
        data.push_back(0);
    return data;
}

std::vector<std::uint8_t> pattern(std::size_t n, unsigned seed) {
    std::vector<std::uint8_t> d(n);
    for (std::size_t i = 0; i < n; ++i)
        d[i] = static_cast<std::uint8_t>((i * 31 + seed) & 0xFF);
    return d;
}

TEST(Sandbox, TtyIsTheModuleAndSubstitutesAreVisible) {
    TempDir dir;
    Sim sim({});
    ASSERT_FALSE(sim.pty.empty());
    std::filesystem::create_directories(dir / "usb/ttyUSB0");
    std::filesystem::create_directories(dir / "udev");
    std::filesystem::create_directories(dir / "log");
    std::filesystem::create_directories(dir / "bound");
    writeText(dir / "udev/ttyUSB0", "ID_VENDOR_ID=0403\nID_MODEL_ID=6015\n");
    writeText(dir / "bound/probe", "bound\n");

    const ProcessResult r =
        sandboxed({"--tty", "ttyS4=" + sim.pty, "--usb-serial", dir / "usb", "--udevadm",
                   dir / "udev", "--var-log", dir / "log", "--bind", dir / "bound=/etc/default"},
                  "exec 3<>/dev/ttyS4\n"
                  "printf '\\000\\000\\006\\000\\000\\252' >&3\n"
                  "echo reply:$(timeout 5 head -c 7 <&3 | od -An -tx1)\n"
                  "echo adapters:$(ls /sys/bus/usb-serial/devices)\n"
                  "udevadm info /dev/ttyUSB0\n"
                  "udevadm info /dev/ttyUSB1; echo status:$?\n"
                  "echo inside >/var/log/probe\n"
                  "cat /etc/default/probe\n"
                  "exit 42\n");
    SKIP_WITHOUT_NAMESPACE(r);
    EXPECT_EQ(r.exitCode, 42) << r.err;
    EXPECT_EQ(r.out, "reply: 00 01 06 08 01 00 aa\n"
                     "adapters:ttyUSB0\n"
                     "ID_VENDOR_ID=0403\nID_MODEL_ID=6015\n"
                     "status:4\n"
                     "bound\n");
    EXPECT_EQ(r.err, "Unknown device\n");
    EXPECT_EQ(readText(dir / "log/probe"), "inside\n");
}

TEST(Sandbox, DefaultsHideTheMachinesAdaptersUdevadmAndLogs) {
    const std::string probe = "sandbox-probe-" + std::to_string(::getpid());
    const ProcessResult r = sandboxed({}, "test ! -e /sys/bus/usb-serial/devices || exit 10\n"
                                          "command -v udevadm && exit 11\n"
                                          "test -z \"$(ls -A /var/log)\" || exit 12\n"
                                          "echo x >/var/log/" +
                                              probe +
                                              " || exit 13\n"
                                              "test -e /dev/ttyS4 && exit 14\n"
                                              "echo ok >/dev/null && head -c 1 /dev/zero | "
                                              "wc -c\n");
    SKIP_WITHOUT_NAMESPACE(r);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "1\n");
    EXPECT_FALSE(std::filesystem::exists("/var/log/" + probe));
}

TEST(Sandbox, WorksForAnUnprivilegedUser) {
    if (::getuid() != 0)
        GTEST_SKIP() << "already unprivileged: the other sandbox tests cover this";
    if (::access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "no setpriv";
    const ProcessResult r =
        runProcess({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", kSandbox, "--",
                    "/bin/sh", "-c", "test -c /dev/null && test -d /var/log && exit 7"},
                   {}, 60);
    SKIP_WITHOUT_NAMESPACE(r);
    EXPECT_EQ(r.exitCode, 7) << r.err;
}

TEST(SimEndToEnd, BackupAndRestoreGoThroughTheTableFile) {
    const std::string pairvault = std::string(ZB_BIN_DIR) + "/pairvault/pairvault";
    if (::access(pairvault.c_str(), X_OK) != 0)
        GTEST_SKIP() << "pairvault is not built";
    TempDir dir;
    std::filesystem::create_directories(dir / "log");
    const auto table = pattern(600, 7);
    writeFile(dir / "table", table);
    Sim sim({"--table", dir / "table", "--record", dir / "rec"});
    ASSERT_FALSE(sim.pty.empty());
    const std::vector<std::string> box{"--tty", "ttyS4=" + sim.pty, "--var-log", dir / "log", "--"};

    std::vector<std::string> argv{kSandbox};
    argv.insert(argv.end(), box.begin(), box.end());
    argv.insert(argv.end(), {pairvault, "-backup", dir / "backup", "-ohub"});
    ProcessResult r = runProcess(argv, {}, 60);
    SKIP_WITHOUT_NAMESPACE(r);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "SUCCESS\n");
    const auto backup = readFile(dir / "backup");
    EXPECT_EQ(backup, withFill(table));

    // The module keeps what it is given, fill included.
    const auto restored = pattern(256, 99);
    writeFile(dir / "restore", restored);
    argv.resize(1 + box.size());
    argv.insert(argv.end(), {pairvault, "-restore", dir / "restore", "-ohub"});
    r = runProcess(argv, {}, 60);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "SUCCESS\n");
    EXPECT_EQ(readFile(dir / "table"), withFill(restored));
    EXPECT_FALSE(std::filesystem::exists(dir / "table.modulesim-tmp"));

    EXPECT_EQ(sim.proc->stop(), 0);
    const std::string rec = readText(dir / "rec");
    EXPECT_NE(rec.find("XM end 640\n"), std::string::npos) << rec;
    EXPECT_NE(rec.find("XM end 384\n"), std::string::npos) << rec;
}

TEST(SimEndToEnd, FirmwareUpdateWritesTheReceivedImage) {
    const std::string radioflash = std::string(ZB_BIN_DIR) + "/radioflash/radioflash";
    if (::access(radioflash.c_str(), X_OK) != 0)
        GTEST_SKIP() << "radioflash is not built";
    TempDir dir;
    const auto image = pattern(1000, 3);
    writeFile(dir / "image", image);
    Sim sim({"--image", dir / "received"});
    ASSERT_FALSE(sim.pty.empty());
    const ProcessResult r = runProcess(
        {kSandbox, "--tty", "ttyS4=" + sim.pty, "--", radioflash, "-f", dir / "image", "-ohub"}, {},
        60);
    SKIP_WITHOUT_NAMESPACE(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "SUCCESS\n");
    EXPECT_EQ(readFile(dir / "received"), withFill(image));
}

} // namespace
