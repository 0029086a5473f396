// The sandbox runner, and the simulated module driven by the shipped programs through it.
#include "tests/support/data.h"
#include "tests/support/sandbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

ProcessResult sandboxed(const std::vector<std::string>& options, const std::string& script) {
    return runProcess(sandboxArgv("", "", options, {"/bin/sh", "-c", script}), {}, 60);
}

// The shipped `program` with `args`, the module's terminal being /dev/ttyS4.
ProcessResult runShipped(const SimModule& sim, const std::string& program,
                         const std::vector<std::string>& args) {
    return runProcess(shippedArgv(program, sim.pty, "", args), kSanitizerEnv, 60);
}

TEST(Sandbox, TtyIsTheModuleAndSubstitutesAreVisible) {
    TempDir dir;
    SimModule sim(dir, {});
    ASSERT_TRUE(sim.started());
    std::filesystem::create_directories(dir / "usb/ttyUSB0");
    std::filesystem::create_directories(dir / "udev");
    std::filesystem::create_directories(dir / "log");
    std::filesystem::create_directories(dir / "bound");
    writeText(dir / "udev/ttyUSB0", "ID_VENDOR_ID=0403\nID_MODEL_ID=6015\n");
    writeText(dir / "bound/probe", "bound\n");

    const ProcessResult r = sandboxed({"--tty", "ttyS4=" + sim.pty, "--usb-serial", dir / "usb",
                                       "--udevadm", dir / "udev", "--var-log", dir / "log", "--run",
                                       dir / "log", "--bind", dir / "bound=/etc/default"},
                                      "exec 3<>/dev/ttyS4\n"
                                      "printf '\\000\\000\\006\\000\\000\\252' >&3\n"
                                      "echo reply:$(timeout 5 head -c 7 <&3 | od -An -tx1)\n"
                                      "echo adapters:$(ls /sys/bus/usb-serial/devices)\n"
                                      "udevadm info /dev/ttyUSB0\n"
                                      "udevadm info /dev/ttyUSB1; echo status:$?\n"
                                      "echo inside >/var/log/probe\n"
                                      "cat /run/probe\n"
                                      "cat /etc/default/probe\n"
                                      "exit 42\n");
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.exitCode, 42) << r.err;
    EXPECT_EQ(r.out, "reply: 00 01 06 08 01 00 aa\n"
                     "adapters:ttyUSB0\n"
                     "ID_VENDOR_ID=0403\nID_MODEL_ID=6015\n"
                     "status:4\n"
                     "inside\n"
                     "bound\n");
    EXPECT_EQ(r.err, "Unknown device\n");
    EXPECT_EQ(readText(dir / "log/probe"), "inside\n");
}

TEST(Sandbox, DefaultsHideTheMachinesAdaptersUdevadmLogsAndRun) {
    const std::string probe = "sandbox-probe-" + std::to_string(::getpid());
    const ProcessResult r =
        sandboxed({}, "test ! -e /sys/bus/usb-serial/devices || exit 10\n"
                      "command -v udevadm && exit 11\n"
                      "test -z \"$(ls -A /var/log)$(ls -A /run | grep -vx mount)\" || exit 12\n"
                      "echo x >/var/log/" +
                          probe +
                          " || exit 13\n"
                          "test -e /dev/ttyS4 && exit 14\n"
                          "echo ok >/dev/null && head -c 1 /dev/zero | "
                          "wc -c\n");
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "1\n");
    EXPECT_FALSE(std::filesystem::exists("/var/log/" + probe));
}

TEST(Sandbox, WorksForAnUnprivilegedUser) {
    if (::getuid() != 0)
        GTEST_SKIP() << "already unprivileged: the other sandbox tests cover this";
    if (::access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "no setpriv";
    const std::vector<std::string> asNobody = {"setpriv", "--reuid=65534", "--regid=65534",
                                               "--clear-groups"};
    // A source tree under a private directory (a mktemp -d clone) is out of nobody's reach.
    std::vector<std::string> reach = asNobody;
    reach.insert(reach.end(), {"test", "-x", kSandboxPath});
    if (runProcess(reach, {}, 10).exitCode != 0)
        GTEST_SKIP() << "the source tree cannot be reached by an unprivileged user";
    std::vector<std::string> run = asNobody;
    run.insert(run.end(), {kSandboxPath, "--", "/bin/sh", "-c",
                           "test -c /dev/null && test -d /var/log && exit 7"});
    const ProcessResult r = runProcess(run, {}, 60);
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.exitCode, 7) << r.err;
}

TEST(SimEndToEnd, BackupAndRestoreGoThroughTheTableFile) {
    TempDir dir;
    const auto table = writePattern(dir / "table", 600, 7);
    SimModule sim(dir, {"--table", dir / "table"});
    ASSERT_TRUE(sim.started());

    ProcessResult r = runShipped(sim, "pairvault", {"-backup", dir / "backup", "-ohub"});
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "SUCCESS\n");
    EXPECT_EQ(readFile(dir / "backup"), withFill(table));

    // The module keeps what it is given, fill included.
    const auto restored = writePattern(dir / "restore", 256, 99);
    r = runShipped(sim, "pairvault", {"-restore", dir / "restore", "-ohub"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "SUCCESS\n");
    EXPECT_EQ(readFile(dir / "table"), withFill(restored));
    EXPECT_FALSE(std::filesystem::exists(dir / "table.modulesim-tmp"));

    EXPECT_EQ(sim.process().stop(), 0);
    const std::string rec = sim.record();
    EXPECT_NE(rec.find("XM end 640\n"), std::string::npos) << rec;
    EXPECT_NE(rec.find("XM end 384\n"), std::string::npos) << rec;
}

TEST(SimEndToEnd, FirmwareUpdateWritesTheReceivedImage) {
    TempDir dir;
    const auto image = writePattern(dir / "image", 1000, 3);
    SimModule sim(dir, {"--image", dir / "received"});
    ASSERT_TRUE(sim.started());
    const ProcessResult r = runShipped(sim, "radioflash", {"-f", dir / "image", "-ohub"});
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "SUCCESS\n");
    EXPECT_EQ(readFile(dir / "received"), withFill(image));
}

} // namespace
