// Fleet rollout end to end: Debian's mender-client installs artifacts built with mender-artifact
// through the shipped update module, which drives the shipped pairvault and radioflash against
// the simulated module. Mender's directories, the update module's and /dev/ttyS4 are the test's
// own, in the sandbox's private mount namespace.
#include "tests/support/data.h"
#include "tests/support/sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace {

namespace fs = std::filesystem;

const std::string UPDATE_MODULE =
    std::string(ZB_SOURCE_DIR) + "/packaging/mender/zigbee-module-firmware";
const std::string MODULES_DIR = "/usr/share/mender/modules/v3";
const std::string STATE_DIR = "/var/lib/zigbee-module-tools"; // as the update module sees it
const std::string BACKUP_CMD = "00 00 09 ";
const std::string UPDATE_START_CMD = "00 00 e1 ";

// A hub on which Mender runs standalone with "factory" installed, the update module is in
// place and the configuration says the module is on the hub's port.
struct Hub {
    TempDir dir;
    std::string varLib = dir / "var-lib";
    std::string stateDir = varLib + "/zigbee-module-tools";
    std::string received = dir / "received"; // the last image the module took
    std::vector<std::uint8_t> table = pattern(700, 5);
    std::unique_ptr<SimModule> sim;

    explicit Hub(const std::vector<std::string>& simArgs) {
        for (const char* sub : {"etc-mender", "var-lib/mender", "modules", "etc-default"})
            fs::create_directories(dir / sub);
        fs::copy_file(UPDATE_MODULE, dir / "modules/zigbee-module-firmware");
        writeText(dir / "etc-mender/mender.conf", "{}\n");
        writeText(dir / "etc-mender/artifact_info", "artifact_name=factory\n");
        writeText(varLib + "/mender/device_type", "device_type=hub\n");
        writeText(dir / "etc-default/zigbee-module-tools", "ZIGBEE_MODULE_PORT=\"hub\"\n");
        writeFile(dir / "table", table);
        std::vector<std::string> options{"--table", dir / "table", "--image", received};
        options.insert(options.end(), simArgs.begin(), simArgs.end());
        sim = std::make_unique<SimModule>(dir, options);
        if (!sim->started())
            ADD_FAILURE() << "modulesim did not report its terminal";
    }

    // Builds artifact `name` carrying `image` and, when given, the `version` file.
    std::string artifact(const std::string& name, const std::vector<std::uint8_t>& image,
                         const std::string& version) const {
        const std::string payload = dir / name;
        fs::create_directories(payload);
        writeFile(payload + "/image.bin", image);
        std::vector<std::string> argv{"mender-artifact",
                                      "write",
                                      "module-image",
                                      "-T",
                                      "zigbee-module-firmware",
                                      "-t",
                                      "hub",
                                      "-n",
                                      name,
                                      "-f",
                                      payload + "/image.bin",
                                      "-o",
                                      payload + ".mender"};
        if (!version.empty()) {
            writeText(payload + "/version", version + "\n");
            argv.insert(argv.end(), {"-f", payload + "/version"});
        }
        const ProcessResult r = runProcess(argv, {}, 60);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return payload + ".mender";
    }

    // `mender ARGS...` on the hub; the shipped programs are first on its PATH.
    ProcessResult mender(const std::vector<std::string>& args) const {
        std::vector<std::string> binds;
        for (const auto& [mine, target] :
             {std::pair<std::string, std::string>{dir / "etc-mender", "/etc/mender"},
              {varLib, "/var/lib"},
              {dir / "modules", MODULES_DIR},
              {dir / "etc-default", "/etc/default"}})
            binds.insert(binds.end(), {"--bind", mine + "=" + target});
        std::vector<std::string> command{"mender", "--no-syslog", "--log-level", "error"};
        command.insert(command.end(), args.begin(), args.end());
        const char* path = std::getenv("PATH");
        std::vector<std::string> env = kSanitizerEnv;
        env.push_back("PATH=" + std::string(ZB_BIN_DIR) + "/pairvault:" + ZB_BIN_DIR +
                      "/radioflash:" + ZB_SOURCE_DIR +
                      "/packaging/update:" + (path != nullptr ? path : "/usr/bin:/bin"));
        return runProcess(sandboxArgv(sim->pty, dir / "log", binds, command), env, 150);
    }

    std::string shownArtifact() const {
        const ProcessResult r = mender({"show-artifact"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.out;
    }

    std::string log() const { return readText(dir / "log/zigbee-module-firmware.log"); }

    std::size_t requests(const std::string& prefix) const {
        const auto rx = sim->requests();
        return static_cast<std::size_t>(
            std::count_if(rx.begin(), rx.end(), [&](auto& r) { return r.starts_with(prefix); }));
    }

    // The update module only ever reads the pairings: no restore, no reset, no reboot.
    void expectPairingsLeftAlone() const {
        EXPECT_EQ(readFile(dir / "table"), table);
        for (const char* code : {"00 00 0a ", "00 00 07 ", "00 00 06 "})
            EXPECT_EQ(requests(code), 0u) << code;
    }
};

#define SKIP_WITHOUT_MENDER()                                                                      \
    do {                                                                                           \
        if (runProcess({"sh", "-c", "command -v mender && command -v mender-artifact"}, {}, 10)    \
                    .exitCode != 0 ||                                                              \
            !fs::is_directory(MODULES_DIR))                                                        \
            GTEST_SKIP() << "needs Debian's mender-client and mender-artifact";                    \
    } while (0)

TEST(MenderRollout, InstallCommitThenABadBuildIsReplacedByTheKeptImage) {
    SKIP_WITHOUT_MENDER();
    // The first image runs as 1.3.0.0; the second, meant to be 2.0.0.0, comes up as 1.9.9.9.
    Hub hub({"--flashed-version", "1.3.0.0,1.9.9.9,1.3.0.0"});
    const auto imageA = pattern(3000, 1);
    const auto imageB = pattern(2200, 2);

    const ProcessResult install = hub.mender({"install", hub.artifact("fw-a", imageA, "1.3.0.0")});
    SKIP_WITHOUT_SANDBOX(install);
    ASSERT_EQ(install.exitCode, 0) << install.err;
    const ProcessResult commit = hub.mender({"commit"});
    EXPECT_EQ(commit.exitCode, 0) << commit.err;
    EXPECT_EQ(hub.shownArtifact(), "fw-a\n");
    EXPECT_EQ(readFile(hub.received), withFill(imageA));
    EXPECT_EQ(readFile(hub.stateDir + "/pairings-fw-a.bin"), withFill(hub.table));
    EXPECT_EQ(readFile(hub.stateDir + "/previous-image"), imageA);

    const ProcessResult bad = hub.mender({"install", hub.artifact("fw-b", imageB, "2.0.0.0")});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_EQ(hub.shownArtifact(), "fw-a\n");
    EXPECT_EQ(hub.requests(UPDATE_START_CMD), 3u) << "a, b, then a again";
    EXPECT_EQ(readFile(hub.received), withFill(imageA));
    EXPECT_EQ(readFile(hub.stateDir + "/pairings-fw-b.bin"), withFill(hub.table));
    const std::string log = hub.log();
    EXPECT_NE(log.find("ArtifactInstall fw-b: FAILED: module reports version 1.9.9.9 after the "
                       "update, the artifact promised 2.0.0.0\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("ArtifactRollback fw-b: flashed back previous image fw-a, version 1.3.0.0; "
                       "safety backup " +
                       STATE_DIR + "/pairings-fw-b.bin\n"),
              std::string::npos)
        << log;
    hub.expectPairingsLeftAlone();
}

TEST(MenderRollout, FailedInstallsKeepTheOldArtifactOrSayTheDeviceIsInconsistent) {
    SKIP_WITHOUT_MENDER();
    const std::string backup = STATE_DIR + "/pairings-fw-x.bin";
    const std::string untouched = "ArtifactRollback fw-x: nothing was sent to the module, "
                                  "nothing to undo; safety backup ";
    const std::string unknown = "ArtifactRollback fw-x: FAILED: no previous image kept in " +
                                STATE_DIR +
                                " to flash back: module firmware unknown; "
                                "safety backup " +
                                backup;
    struct Case {
        std::string what;
        std::string reply;   // how modulesim answers a command (--reply), "" for always well
        std::string version; // the artifact's version file, "" for none
        std::string shown;   // by mender show-artifact afterwards
        bool backupTaken;
        std::size_t imagesSent;
        std::string rollbackLine;
    };
    const Case cases[] = {
        {"update entry unanswered", "e0=silent", "", "factory\n", true, 0, untouched + backup},
        {"safety backup fails", "09=silent", "", "factory\n", false, 0, untouched + "not taken"},
        {"wrong version, no image kept", "", "2.0.0.0", "fw-x_INCONSISTENT\n", true, 1, unknown},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Hub hub(c.reply.empty() ? std::vector<std::string>{}
                                : std::vector<std::string>{"--reply", c.reply});
        const auto image = pattern(1500, 3);
        const ProcessResult install =
            hub.mender({"install", hub.artifact("fw-x", image, c.version)});
        SKIP_WITHOUT_SANDBOX(install);
        EXPECT_EQ(install.exitCode, 1) << install.err;
        EXPECT_EQ(hub.shownArtifact(), c.shown);
        EXPECT_EQ(hub.requests(BACKUP_CMD), 1u);
        EXPECT_EQ(fs::exists(hub.stateDir + "/pairings-fw-x.bin"), c.backupTaken);
        EXPECT_EQ(hub.requests(UPDATE_START_CMD), c.imagesSent);
        EXPECT_EQ(readFile(hub.received),
                  c.imagesSent > 0 ? withFill(image) : std::vector<std::uint8_t>{});
        const std::string log = hub.log();
        EXPECT_NE(log.find(c.rollbackLine + "\n"), std::string::npos) << log;
        hub.expectPairingsLeftAlone();
    }
}

} // namespace
