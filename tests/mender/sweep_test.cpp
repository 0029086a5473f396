// The fleet update at every cut: for each engine and phase, the power goes before each step that
// changes state (a file written, renamed or removed, a backup, a flash, and once inside the
// flash), then the hub does what it does after a restart (Mender rolls back what it had not
// recorded as committed; on a SWUpdate hub the boot-time recover runs), and then the next
// update must go through. Run with coreutils, and with busybox's applets and shell.
#include "tests/mender/hub.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

namespace {

using namespace rollout;

// Images carry their version in their first two bytes (modulesim --version-from-image).
std::vector<std::uint8_t> image(std::uint8_t hi, std::uint64_t seed) {
    auto bytes = pattern(300, seed);
    bytes[0] = hi;
    bytes[1] = 0;
    return bytes;
}
const auto IMAGE_A = image(0x11, 1); // 1.1.0.0
const auto IMAGE_B = image(0x20, 2); // 2.0.0.0
const auto IMAGE_C = image(0x30, 3); // 3.0.0.0
const std::string FACTORY = "1.0.0.0";
const std::string CUT_SCRIPT = std::string(ZB_SOURCE_DIR) + "/tests/mender/power-cut.sh";
constexpr int PARALLEL_CUTS = 4; // each cut point waits mostly on the module's pauses

enum class Phase { Install, Commit, Rollback };

struct Flow {
    std::string name;
    const Engine* engine;
    Phase phase;
    bool firstUpdate; // no fw-a before: no image kept
    bool busybox;
};
void PrintTo(const Flow& f, std::ostream* os) {
    *os << f.name;
}

std::vector<Flow> flows() {
    std::vector<Flow> all;
    for (const bool bb : {false, true}) {
        const std::string tools = bb ? "_busybox" : "_coreutils";
        all.push_back({"mender_install" + tools, &MENDER, Phase::Install, false, bb});
        all.push_back({"mender_commit" + tools, &MENDER, Phase::Commit, false, bb});
        all.push_back({"mender_rollback" + tools, &MENDER, Phase::Rollback, false, bb});
        all.push_back({"mender_first_install" + tools, &MENDER, Phase::Install, true, bb});
        all.push_back({"swupdate_apply" + tools, &SWUPDATE, Phase::Install, false, bb});
        all.push_back({"swupdate_first_apply" + tools, &SWUPDATE, Phase::Install, true, bb});
        all.push_back({"swupdate_rollback" + tools, &SWUPDATE, Phase::Rollback, false, bb});
    }
    return all;
}

class PowerCut : public ::testing::TestWithParam<Flow> {
protected:
    void SetUp() override {
        const Engine& e = *GetParam().engine;
        if (e.name == MENDER.name && !haveMender())
            GTEST_SKIP() << "needs Debian's mender-client and mender-artifact";
        if (e.name == SWUPDATE.name && !haveSwupdate())
            GTEST_SKIP() << "needs swupdate >= 2023 (bookworm-backports), openssl and cpio";
        if (GetParam().busybox && !fs::exists("/bin/busybox"))
            GTEST_SKIP() << "needs busybox-static";
    }

    // A hub for one cut point: stand-ins for the state-changing commands first on PATH, then
    // (busybox) busybox's applets, and the update policy run by busybox's shell.
    std::unique_ptr<Hub> newHub() const {
        auto hub = std::make_unique<Hub>(std::vector<std::string>{
            "--version", FACTORY, "--version-from-image", "--stay-in-receiver"});
        const std::string cut = hub->dir / "cut";
        fs::create_directories(cut);
        for (const char* cmd : {"mkdir", "mv", "rm", "cp", "ln", "sync", "radioflash", "pairvault"})
            fs::create_symlink(CUT_SCRIPT, cut + "/" + cmd);
        hub->pathFirst = cut;
        if (GetParam().busybox) {
            const std::string bb = hub->dir / "busybox";
            fs::create_directories(bb);
            for (const char* applet : {"[",    "cat",   "cmp",  "cp",    "cut",  "date",   "grep",
                                       "head", "ln",    "ls",   "mkdir", "mv",   "printf", "rm",
                                       "sed",  "sleep", "sync", "tail",  "test", "tr",     "wc"})
                fs::create_symlink("/bin/busybox", bb + "/" + applet);
            // Busybox's flock (where it has one) takes no -w.
            writeText(bb + "/flock", "#!/bin/sh\ncase \" $* \" in *\" -w\"*) exit 64 ;; esac\n"
                                     "exec /usr/bin/flock \"$@\"\n");
            writeText(bb + "/zigbee-module-update",
                      std::string("#!/bin/sh\nexec /bin/busybox sh ") + ZB_SOURCE_DIR +
                          "/packaging/update/zigbee-module-update \"$@\"\n");
            for (const char* f : {"/flock", "/zigbee-module-update"})
                fs::permissions(bb + f, fs::perms::owner_all);
            hub->pathFirst += ":" + bb;
        }
        hub->ownSession = true;
        hub->commonEnv = {"CUT_DIR=" + cut, "CUT_RECORD=" + hub->sim->recordPath, "CUT_AT=0"};
        return hub;
    }

    void setCut(Hub& hub, int at) const {
        hub.commonEnv.back() = "CUT_AT=" + std::to_string(at);
        writeText(hub.dir / "cut/count", "0\n");
        writeText(hub.dir / "cut/steps", "");
    }

    // The update to cut: fw-b, which comes up as 2.0.0.0, or as 1.9.0.0 where the phase is the
    // rollback of a bad build. Mender's commit is cut after an install that went through.
    ProcessResult cutRun(Hub& hub) const {
        const Flow& f = GetParam();
        auto b = IMAGE_B;
        if (f.phase == Phase::Rollback)
            b[0] = 0x19;
        if (f.engine->name == SWUPDATE.name)
            return hub.swupdate(hub.swu("fw-b", b, "2.0.0.0"));
        const auto fw = hub.artifact("fw-b", b, "2.0.0.0");
        if (f.phase != Phase::Commit)
            return hub.mender({"install", fw});
        const int at = std::stoi(hub.commonEnv.back().substr(7));
        setCut(hub, 0);
        const ProcessResult install = hub.mender({"install", fw});
        EXPECT_EQ(install.exitCode, 0) << install.err;
        setCut(hub, at);
        return hub.mender({"commit"});
    }

    // What the hub does once the power is back: Mender's daemon rolls back what it had not
    // recorded as committed (ArtifactRollback, ArtifactFailure); standalone mender is then told
    // to roll back where it had recorded the install, which runs the rollback once more.
    ProcessResult restart(Hub& hub) const {
        hub.powerCycle();
        if (GetParam().engine->name == SWUPDATE.name)
            return hub.run({"zigbee-module-update", "--as", "boot", "recover"});
        const std::string work = hub.dir / "work";
        fs::create_directories(work + "/header");
        writeText(work + "/header/artifact_name", "fw-b");
        const std::string module = MODULES_DIR + "/zigbee-module-firmware";
        const ProcessResult rollback = hub.run({module, "ArtifactRollback", work});
        hub.run({module, "ArtifactFailure", work});
        const ProcessResult again = hub.mender({"rollback"});
        EXPECT_TRUE(again.exitCode == rollback.exitCode ||
                    again.err.find("nothing to commit") != std::string::npos)
            << again.err;
        return rollback;
    }

    // One cut point, or with `at` 0 the whole flow uncut; returns the steps counted.
    int sweepOne(int at) const {
        const Flow& f = GetParam();
        SCOPED_TRACE("cut before step " + std::to_string(at));
        auto owned = newHub();
        Hub& hub = *owned;
        std::string earlier = FACTORY;
        if (!f.firstUpdate) {
            const ProcessResult a = hub.update(*f.engine, "fw-a", IMAGE_A, "1.1.0.0");
            EXPECT_EQ(a.exitCode, 0) << a.err << hub.log();
            earlier = "1.1.0.0";
        }
        setCut(hub, at);
        const ProcessResult cut = cutRun(hub);
        const int steps = std::stoi(readText(hub.dir / "cut/count"));
        if (at == 0) {
            EXPECT_EQ(cut.exitCode, f.phase == Phase::Rollback ? 1 : 0) << cut.err << hub.log();
        } else {
            EXPECT_TRUE(fs::exists(hub.dir / "cut/cut")) << "no cut";
        }
        const std::string cutSteps = readText(hub.dir / "cut/steps");
        setCut(hub, 0);
        // Uncut, a Mender install is committed, and a rollback the engine ran counts as done.
        ProcessResult after = cut;
        if (at != 0)
            after = restart(hub);
        else if (f.engine->name == MENDER.name && f.phase == Phase::Install)
            after = hub.mender({"commit"});
        else if (f.phase == Phase::Rollback)
            after.exitCode = 0;
        hub.powerCycle();
        const bool waits = hub.moduleWaits();
        const auto running = readFile(hub.received);
        const std::string version = running.empty() ? FACTORY : Hub::versionIn(running);
        const std::string trace = "after: " + std::to_string(after.exitCode) + " " + after.err +
                                  "\nsteps:\n" + cutSteps + "log:\n" + hub.log();
        // I4: never left waiting; I1, I2, I5: a success means the module runs what the engine
        // then believes; with an image kept, the way back always works.
        EXPECT_FALSE(waits) << trace;
        const bool committed =
            fs::exists(hub.stateDir + "/committed") &&
            readText(hub.stateDir + "/committed/state").find("name=fw-b\n") != std::string::npos;
        const bool newRuns = committed && (at == 0 || f.engine->name == SWUPDATE.name);
        if (after.exitCode == 0) {
            EXPECT_EQ(version, newRuns ? "2.0.0.0" : earlier) << trace;
        } else {
            EXPECT_TRUE(f.firstUpdate) << trace;
            EXPECT_EQ(version, "2.0.0.0") << trace;
        }
        if (f.engine->name == MENDER.name && at == 0) {
            EXPECT_EQ(hub.shownArtifact(), after.exitCode != 0    ? "fw-b_INCONSISTENT\n"
                                           : version == "2.0.0.0" ? "fw-b\n"
                                           : f.firstUpdate        ? "factory\n"
                                                                  : "fw-a\n")
                << trace;
        }
        EXPECT_FALSE(fs::exists(hub.stateDir + "/transaction")) << trace;
        // I3: the image the module runs is kept, as the way back for the next update.
        if (version != FACTORY) {
            EXPECT_TRUE(withFill(readFile(hub.stateDir + "/previous-image")) == running ||
                        withFill(readFile(hub.stateDir + "/committed/image")) == running)
                << trace;
        }
        // The next update goes through, with the image that ran before it kept.
        const ProcessResult next = hub.update(*f.engine, "fw-c", IMAGE_C, "3.0.0.0");
        EXPECT_EQ(next.exitCode, 0) << next.err << trace;
        EXPECT_EQ(Hub::versionIn(readFile(hub.received)), "3.0.0.0") << trace;
        if (version != FACTORY) {
            EXPECT_EQ(withFill(readFile(hub.stateDir + "/previous-image")), running) << trace;
        }
        return steps;
    }
};

INSTANTIATE_TEST_SUITE_P(Flows, PowerCut, ::testing::ValuesIn(flows()),
                         [](const auto& p) { return p.param.name; });

TEST_P(PowerCut, EveryStep) {
    const int steps = sweepOne(0);
    ASSERT_GT(steps, 0);
    std::atomic<int> nextCut{1};
    std::vector<std::thread> workers;
    for (int w = 0; w < PARALLEL_CUTS; ++w)
        workers.emplace_back([&] {
            for (int at = nextCut++; at <= steps; at = nextCut++)
                sweepOne(at);
        });
    for (auto& w : workers)
        w.join();
    RecordProperty("cut_points", steps);
}

} // namespace
