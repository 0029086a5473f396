// Fleet rollout end to end: Debian's mender-client installs artifacts built with mender-artifact
// through the shipped update module, and swupdate installs signed .swu files through the shipped
// Lua handler; both drive the shipped update policy, pairvault and radioflash against the
// simulated module. The engines' directories, the update policy's and /dev/ttyS4 are the test's
// own, in the sandbox's private mount namespace.
#include "tests/support/data.h"
#include "tests/support/sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <ostream>

namespace {

namespace fs = std::filesystem;

const std::string UPDATE_MODULE =
    std::string(ZB_SOURCE_DIR) + "/packaging/mender/zigbee-module-firmware";
const std::string MODULES_DIR = "/usr/share/mender/modules/v3";
const std::string STATE_DIR = "/var/lib/zigbee-module-tools"; // as the update module sees it
const std::string BACKUP_CMD = "00 00 09 ";
const std::string UPDATE_START_CMD = "00 00 e1 ";

// The two OTA engines, and the tags the shared policy's log lines carry under each.
struct Engine {
    std::string name, installTag, rollbackTag;
};
const Engine MENDER{"mender", "ArtifactInstall", "ArtifactRollback"};
const Engine SWUPDATE{"swupdate", "swupdate", "swupdate-rollback"};
void PrintTo(const Engine& engine, std::ostream* os) {
    *os << engine.name;
}

// A hub on which Mender runs standalone with "factory" installed and swupdate runs with the
// hub's swupdate_handlers.lua loading the handler; the update module is in place and the
// configuration says the module is on the hub's port.
struct Hub {
    TempDir dir;
    std::string varLib = dir / "var-lib";
    std::string stateDir = varLib + "/zigbee-module-tools";
    std::string received = dir / "received"; // the last image the module took
    std::vector<std::uint8_t> table = pattern(700, 5);
    std::unique_ptr<SimModule> sim;
    std::string stateDirSize; // when set, the state directory is a tmpfs this big: a full disk
    std::string pathFirst;    // when set, a directory of stand-ins for system commands

    explicit Hub(const std::vector<std::string>& simArgs) {
        for (const char* sub : {"etc-mender", "var-lib/mender", "var-lib/zigbee-module-tools",
                                "modules", "etc-default", "lua", "tmp"})
            fs::create_directories(dir / sub);
        fs::copy_file(UPDATE_MODULE, dir / "modules/zigbee-module-firmware");
        writeText(dir / "etc-mender/mender.conf", "{}\n");
        writeText(dir / "etc-mender/artifact_info", "artifact_name=factory\n");
        writeText(varLib + "/mender/device_type", "device_type=hub\n");
        writeText(dir / "etc-default/zigbee-module-tools", "ZIGBEE_MODULE_PORT=\"hub\"\n");
        writeText(dir / "lua/swupdate_handlers.lua", "require(\"zigbee_module_firmware\")\n");
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

    // Builds update `name` as a .swu signed with a key of the test's own: `image` as type
    // zigbee-module-firmware, with the version property when given.
    std::string swu(const std::string& name, const std::vector<std::uint8_t>& image,
                    const std::string& version) const {
        const std::string payload = dir / name;
        fs::create_directories(payload);
        writeFile(payload + "/" + name + ".bin", image);
        const std::string script =
            "set -e; cd \"$1\"; [ -f ../key.pem ] || openssl req -x509 -newkey rsa:2048 -nodes "
            "-keyout ../key.pem -out ../cert.pem -days 1 -subj /CN=test "
            "-addext extendedKeyUsage=emailProtection 2>/dev/null; "
            "props=; [ -z \"$3\" ] || props=\"properties: { version = \\\"$3\\\"; };\"; "
            "printf 'software = { version = \"1.0\"; hardware-compatibility: [ \"1.0\" ];\\n"
            "images: ( { name = \"%s\"; filename = \"%s.bin\"; type = \"zigbee-module-firmware\"; "
            "sha256 = \"%s\";"
            " %s } ); }\\n' \"$2\" \"$2\" \"$(sha256sum \"$2.bin\" | cut -d' ' -f1)\" \"$props\" "
            ">sw-description; openssl cms -sign -in sw-description -out sw-description.sig "
            "-signer ../cert.pem -inkey ../key.pem -outform DER -nosmimecap -binary; "
            "printf '%s\\n' sw-description sw-description.sig \"$2.bin\" | "
            "cpio -o -H crc --quiet >../\"$2\".swu";
        const ProcessResult r =
            runProcess({"sh", "-c", script, "sh", payload, name, version}, {}, 60);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return payload + ".swu";
    }

    // `swupdate -i SWU` on the hub, with the Lua handler loaded by swupdate_handlers.lua.
    ProcessResult swupdate(const std::string& swu) const {
        return run(
            {"swupdate", "-H", "hub:1.0", "-k", dir / "cert.pem", "-i", swu},
            {"LUA_PATH=" + dir / "lua/?.lua;" + ZB_SOURCE_DIR + "/packaging/swupdate/?.lua;;",
             "TMPDIR=" + dir / "tmp"});
    }

    // One update by `engine`: built, installed and, under Mender, committed when it went in.
    ProcessResult update(const Engine& engine, const std::string& name,
                         const std::vector<std::uint8_t>& image, const std::string& version) const {
        if (engine.name == SWUPDATE.name)
            return swupdate(swu(name, image, version));
        const ProcessResult install = mender({"install", artifact(name, image, version)});
        return install.exitCode == 0 ? mender({"commit"}) : install;
    }

    ProcessResult mender(const std::vector<std::string>& args) const {
        std::vector<std::string> command{"mender", "--no-syslog", "--log-level", "error"};
        command.insert(command.end(), args.begin(), args.end());
        return run(command);
    }

    // `command` on the hub; the shipped programs and the update policy are first on its PATH.
    ProcessResult run(const std::vector<std::string>& command,
                      const std::vector<std::string>& extraEnv = {}) const {
        std::vector<std::string> binds;
        for (const auto& [mine, target] :
             {std::pair<std::string, std::string>{dir / "etc-mender", "/etc/mender"},
              {varLib, "/var/lib"},
              {dir / "modules", MODULES_DIR},
              {dir / "etc-default", "/etc/default"}})
            binds.insert(binds.end(), {"--bind", mine + "=" + target});
        const char* path = std::getenv("PATH");
        std::vector<std::string> env = kSanitizerEnv;
        env.push_back("PATH=" + (pathFirst.empty() ? "" : pathFirst + ":") + ZB_BIN_DIR +
                      "/pairvault:" + ZB_BIN_DIR + "/radioflash:" + ZB_SOURCE_DIR +
                      "/packaging/update:" + (path != nullptr ? path : "/usr/bin:/bin"));
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        std::vector<std::string> argv = command;
        if (!stateDirSize.empty())
            argv.insert(argv.begin(),
                        {"sh", "-c",
                         "mount -t tmpfs -o size=$0 full " + STATE_DIR + " && exec \"$@\"",
                         stateDirSize});
        return runProcess(sandboxArgv(sim->pty, dir / "log", binds, argv), env, 150);
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

bool haveMender() {
    return runProcess({"sh", "-c", "command -v mender && command -v mender-artifact"}, {}, 10)
                   .exitCode == 0 &&
           fs::is_directory(MODULES_DIR);
}

// Debian 12's own swupdate (2022.12) fails at random when a handler starts a program.
bool haveSwupdate() {
    return runProcess({"sh", "-c",
                       "command -v openssl && command -v cpio && dpkg --compare-versions "
                       "\"$(dpkg-query -W -f='${Version}' swupdate)\" ge 2023"},
                      {}, 10)
               .exitCode == 0;
}

// Each test runs under each engine; it skips where this machine lacks the engine.
class Rollout : public ::testing::TestWithParam<Engine> {
protected:
    void SetUp() override {
        if (GetParam().name == MENDER.name && !haveMender())
            GTEST_SKIP() << "needs Debian's mender-client and mender-artifact";
        if (GetParam().name == SWUPDATE.name && !haveSwupdate())
            GTEST_SKIP() << "needs swupdate >= 2023 (bookworm-backports), openssl and cpio";
    }
};
INSTANTIATE_TEST_SUITE_P(Engines, Rollout, ::testing::Values(MENDER, SWUPDATE),
                         [](const auto& p) { return p.param.name; });

TEST_P(Rollout, InstallThenABadBuildIsReplacedByTheKeptImage) {
    const Engine& engine = GetParam();
    const bool mender = engine.name == MENDER.name;
    // The first image runs as 1.3.0.0; the second, meant to be 2.0.0.0, fails.
    const struct {
        std::string what;
        std::vector<std::string> sim;
        std::string failure;       // the install's reason
        std::size_t startRequests; // a, b, and a again where the rollback needs one
    } cases[] = {
        {"comes up as 1.9.9.9",
         {"--flashed-version", "1.3.0.0,1.9.9.9,1.3.0.0"},
         "module reports version 1.9.9.9 after the update, the artifact promised 2.0.0.0",
         3},
        // The rollback finds the module waiting in its receiver and needs no start request.
        {"transfer cut after the start request",
         {"--flashed-version", "1.3.0.0", "--stay-in-receiver", "--xm-stop", "30", "--xm-timeout",
          "4000"},
         "firmware update failed (radioflash: ERROR: fail to update firmware)",
         2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Hub hub(c.sim);
        const auto imageA = pattern(3000, 1); // 24 blocks
        const auto imageB = pattern(5000, 2); // 40 blocks

        const ProcessResult install = hub.update(engine, "fw-a", imageA, "1.3.0.0");
        SKIP_WITHOUT_SANDBOX(install);
        ASSERT_EQ(install.exitCode, 0) << install.err;
        if (mender) {
            EXPECT_EQ(hub.shownArtifact(), "fw-a\n");
        }
        EXPECT_EQ(readFile(hub.received), withFill(imageA));
        EXPECT_EQ(readFile(hub.stateDir + "/pairings-fw-a.bin"), withFill(hub.table));
        EXPECT_EQ(readFile(hub.stateDir + "/previous-image"), imageA);

        const ProcessResult bad = hub.update(engine, "fw-b", imageB, "2.0.0.0");
        EXPECT_EQ(bad.exitCode, 1);
        if (mender) {
            EXPECT_EQ(hub.shownArtifact(), "fw-a\n");
        }
        EXPECT_EQ(hub.requests(UPDATE_START_CMD), c.startRequests);
        EXPECT_EQ(readFile(hub.received), withFill(imageA));
        EXPECT_EQ(readFile(hub.stateDir + "/pairings-fw-b.bin"), withFill(hub.table));
        const std::string log = hub.log();
        EXPECT_NE(log.find(engine.installTag + " fw-b: FAILED: " + c.failure + "\n"),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find(engine.rollbackTag +
                           " fw-b: flashed back previous image fw-a, version 1.3.0.0; "
                           "safety backup " +
                           STATE_DIR + "/pairings-fw-b.bin\n"),
                  std::string::npos)
            << log;
        hub.expectPairingsLeftAlone();
        if (!mender)
            continue;

        // Mender runs a state again after a power cut: the commit of fw-a and the rollback of
        // fw-b, each once more, ask the module nothing and keep the kept image.
        const std::string work = hub.dir / "work";
        fs::create_directories(work + "/header");
        for (const auto& [state, name] :
             {std::pair<std::string, std::string>{"ArtifactCommit", "fw-a"},
              {"ArtifactRollback", "fw-b"}}) {
            writeText(work + "/header/artifact_name", name);
            const ProcessResult again =
                hub.run({MODULES_DIR + "/zigbee-module-firmware", state, work});
            EXPECT_EQ(again.exitCode, 0) << state << again.err;
        }
        EXPECT_EQ(hub.requests(UPDATE_START_CMD), c.startRequests);
        EXPECT_EQ(readFile(hub.stateDir + "/previous-image"), imageA);
    }
}

TEST_P(Rollout, UpdatesOnAModuleThatMisbehaves) {
    const Engine& engine = GetParam();
    const std::string backup = STATE_DIR + "/pairings-fw-x.bin";
    const std::string untouched = "fw-x: nothing was sent to the module, "
                                  "nothing to undo; safety backup ";
    const std::string unknown = "fw-x: FAILED: no previous image kept in " + STATE_DIR +
                                " to flash back: module firmware unknown; "
                                "safety backup " +
                                backup;
    struct Case {
        std::string what;
        std::vector<std::string> sim = {}; // modulesim options
        std::string version = "";          // the update's version, "" for none
        bool succeeds = false;
        std::string shown = "factory\n"; // by mender show-artifact afterwards
        std::size_t backupsAsked = 1;
        bool backupTaken = true;
        std::size_t imagesSent = 0;    // start requests
        bool flashed = false;          // the image reached the module
        std::string failure = "";      // the install's reason, "" for not checked
        std::string rollbackLine = ""; // behind the engine's rollback tag, "" for no rollback
        std::string stateDirSize = ""; // see Hub
    };
    const Case cases[] = {
        {.what = "update entry unanswered",
         .sim = {"--reply", "e0=silent"},
         .rollbackLine = untouched + backup},
        {.what = "safety backup fails",
         .sim = {"--reply", "09=silent"},
         .backupTaken = false,
         .rollbackLine = untouched + "not taken"},
        {.what = "wrong version, no image kept",
         .version = "2.0.0.0",
         .shown = "fw-x_INCONSISTENT\n",
         .imagesSent = 1,
         .flashed = true,
         .rollbackLine = unknown},
        // It tells no version and has nothing to back up; it needs no start request.
        {.what = "module waiting in its firmware receiver",
         .sim = {"--start-in-receiver"},
         .succeeds = true,
         .shown = "fw-x\n",
         .backupsAsked = 0,
         .backupTaken = false,
         .flashed = true},
        // Room for the staged image, the journal and the backup, not for the flash marker.
        {.what = "disk full when the flash is to be recorded",
         .backupTaken = false, // it went with the tmpfs
         .failure = "cannot record in " + STATE_DIR +
                    "/transaction that the flash begins, module left untouched",
         .rollbackLine = untouched + "not taken",
         .stateDirSize = "12k"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Hub hub(c.sim);
        hub.stateDirSize = c.stateDirSize;
        const auto image = pattern(1500, 3);
        const ProcessResult install = hub.update(engine, "fw-x", image, c.version);
        SKIP_WITHOUT_SANDBOX(install);
        EXPECT_EQ(install.exitCode, c.succeeds ? 0 : 1) << install.err;
        if (engine.name == MENDER.name) {
            EXPECT_EQ(hub.shownArtifact(), c.shown);
        }
        EXPECT_EQ(hub.requests(BACKUP_CMD), c.backupsAsked);
        EXPECT_EQ(fs::exists(hub.stateDir + "/pairings-fw-x.bin"), c.backupTaken);
        EXPECT_EQ(hub.requests(UPDATE_START_CMD), c.imagesSent);
        EXPECT_EQ(readFile(hub.received),
                  c.flashed ? withFill(image) : std::vector<std::uint8_t>{});
        const std::string log = hub.log();
        if (!c.failure.empty()) {
            EXPECT_NE(log.find(engine.installTag + " fw-x: FAILED: " + c.failure + "\n"),
                      std::string::npos)
                << log;
        }
        if (!c.rollbackLine.empty()) {
            EXPECT_NE(log.find(engine.rollbackTag + " " + c.rollbackLine + "\n"), std::string::npos)
                << log;
        }
        hub.expectPairingsLeftAlone();
    }
}

// The power goes the moment the commit has replaced the kept image with the new one. Under
// Mender the rollback that follows puts the previous image back on the module and as the kept
// image; under SWUpdate the boot-time step finishes the commit.
TEST_P(Rollout, APowerCutInsideTheCommitLosesNoImage) {
    const bool mender = GetParam().name == MENDER.name;
    Hub hub({"--flashed-version", "1.3.0.0,2.0.0.0,1.3.0.0"});
    const auto imageA = pattern(1000, 1);
    const auto imageB = pattern(1200, 2);
    const ProcessResult first = hub.update(GetParam(), "fw-a", imageA, "1.3.0.0");
    SKIP_WITHOUT_SANDBOX(first);
    ASSERT_EQ(first.exitCode, 0) << first.err;

    // A sync that, once the kept image is B, kills itself and its callers up to the engine.
    const std::string cut = hub.dir / "cut";
    fs::create_directories(cut);
    writeFile(cut + "/image-b", imageB);
    writeText(cut + "/sync",
              "#!/bin/sh\nif cmp -s " + STATE_DIR + "/previous-image " + cut +
                  "/image-b; then\n"
                  "    pids= pid=$PPID\n"
                  "    while [ \"$pid\" -gt 1 ]; do\n"
                  "        pids=\"$pids $pid\"\n"
                  "        case $(cat /proc/$pid/comm) in mender | swupdate) break ;; "
                  "esac\n"
                  "        pid=$(cut -d' ' -f4 /proc/$pid/stat)\n"
                  "    done\n"
                  "    kill -9 $pids $$\n"
                  "fi\n"
                  "exec /bin/sync \"$@\"\n");
    fs::permissions(cut + "/sync", fs::perms::owner_all);
    hub.pathFirst = cut;
    const ProcessResult second = hub.update(GetParam(), "fw-b", imageB, "2.0.0.0");
    EXPECT_NE(second.exitCode, 0) << second.err;
    EXPECT_EQ(readFile(hub.stateDir + "/previous-image"), imageB) << "cut where meant";
    hub.pathFirst.clear();

    const ProcessResult after = mender
                                    ? hub.mender({"rollback"})
                                    : hub.run({"zigbee-module-update", "--as", "boot", "recover"});
    EXPECT_EQ(after.exitCode, 0) << after.err;
    const auto& running = mender ? imageA : imageB;
    EXPECT_EQ(hub.requests(UPDATE_START_CMD), mender ? 3u : 2u);
    EXPECT_EQ(readFile(hub.received), withFill(running));
    EXPECT_EQ(readFile(hub.stateDir + "/previous-image"), running);
    EXPECT_FALSE(fs::exists(hub.stateDir + "/transaction"));
    if (mender) {
        EXPECT_EQ(hub.shownArtifact(), "fw-a\n");
    }
}

} // namespace
