// Fleet rollout end to end: Debian's mender-client installs artifacts built with mender-artifact
// through the shipped update module, and swupdate installs signed .swu files through the shipped
// Lua handler; both drive the shipped update policy, pairvault and radioflash against the
// simulated module. The engines' directories, the update policy's and /dev/ttyS4 are the test's
// own, in the sandbox's private mount namespace.
#include "tests/mender/hub.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

namespace {

using namespace rollout;

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
        EXPECT_EQ(readFile(hub.stateDir + "/committed/image"), imageA);

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
                                " to flash back: the module runs the update's image, version "
                                "1.2.3.4; safety backup " +
                                backup;
    const std::string nothing = "fw-x: no unfinished update, nothing to undo";
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
        std::string before = "";       // see Hub
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
         .before = "mount -t tmpfs -o size=12k full " + STATE_DIR},
        {.what = "state directory read-only",
         .backupsAsked = 0,
         .backupTaken = false,
         .failure = "cannot open the lock " + STATE_DIR + "/lock, module left untouched",
         .before = "mount -t tmpfs -o ro ro " + STATE_DIR},
        // A query that goes unanswered is never taken for a module waiting for an image.
        {.what = "version query unanswered",
         .sim = {"--reply", "01=silent"},
         .backupsAsked = 0,
         .backupTaken = false,
         .failure = "the module did not tell its version (radioflash: ERROR), module left "
                    "untouched",
         .rollbackLine = nothing},
        {.what = "port busy",
         .backupsAsked = 0,
         .backupTaken = false,
         .failure = "the port is busy (radioflash: ERROR), module left untouched",
         .rollbackLine = nothing,
         .before = "exec 8<>/dev/ttyS4 && flock 8"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Hub hub(c.sim);
        hub.before = c.before;
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

// The examples in docs/fleet.md, run as they stand: the pretend hub of "Try it without
// hardware", then the engine's package built, signed where it must be, and installed. Only what
// a reader fills in is filled in: the device type, the board, and the build directory; and the
// swupdate line meant for a real hub gives way to the pretend hub's.
TEST_P(Rollout, DocsExamplesRunAsWritten) {
    const bool mender = GetParam().name == MENDER.name;
    const std::string doc = readText(std::string(ZB_SOURCE_DIR) + "/docs/fleet.md");
    const std::regex fenced(R"(^( *)```\w*\n([^]*?)^\1```)", std::regex::multiline);
    // Each step: the one block that begins with its first word, run or written to a file.
    const std::vector<std::pair<std::string, std::string>> steps =
        mender ? std::vector<std::pair<std::string, std::string>>{{"src=$PWD", ""},
                                                                  {"echo 1.3.0.0 > version", ""},
                                                                  {"on_hub mender", ""},
                                                                  {"cat log/", ""}}
               : std::vector<std::pair<std::string, std::string>>{
                     {"src=$PWD", ""},
                     {"openssl req", ""},
                     {"software =", "sw-description"},
                     {"#!/bin/sh\nmark=", "zigbee-host.sh"},
                     {"for f in", ""},
                     {"on_hub swupdate", ""},
                     {"cat log/", ""}};
    std::string script = "set -e\ncd '" + std::string(ZB_SOURCE_DIR) + "'\n";
    for (const auto& [start, file] : steps) {
        std::vector<std::string> found;
        for (std::sregex_iterator m(doc.begin(), doc.end(), fenced), end; m != end; ++m) {
            std::string text = std::regex_replace(
                (*m)[2].str(), std::regex("^" + (*m)[1].str(), std::regex::multiline), "");
            if (text.starts_with(start))
                found.push_back(text);
        }
        ASSERT_EQ(found.size(), 1u) << "docs/fleet.md: one example beginning " << start;
        std::string text = std::regex_replace(found[0], std::regex(".*# on the hub\n"), "");
        for (const auto& [from, to] : {std::pair<std::string, std::string>{"<device type>", "hub"},
                                       {"<board>", "hub"},
                                       {"$PWD/build/release", ZB_BIN_DIR}})
            for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at))
                text.replace(at, from.size(), to);
        script += file.empty() ? text : "cat >" + file + " <<'EXAMPLE'\n" + text + "EXAMPLE\n";
        if (start == "src=$PWD")
            script += "trap 'kill $sim 2>/dev/null || :' EXIT\n";
    }
    TempDir tmp;
    const ProcessResult r = runProcess({"bash", "-c", script}, {"TMPDIR=" + tmp.path}, 240);
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.exitCode, 0) << script << r.out << r.err;
    const std::string flashed = (mender ? "ArtifactInstall" : "swupdate") +
                                std::string(" zigbee-fw-1.3.0.0: flashed zigbee-fw-1.3.0.0.bin, "
                                            "version 1.2.3.4 -> 1.3.0.0");
    for (const std::string& shown : {flashed, std::string("the module holds the image\n"),
                                     std::string(mender ? "\nzigbee-fw-1.3.0.0\n"
                                                        : "systemctl stop zigbee-host.service\n"
                                                          "systemctl start zigbee-host.service\n")})
        EXPECT_NE(r.out.find(shown), std::string::npos) << r.out;
}

} // namespace
