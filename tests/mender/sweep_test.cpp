// The fleet update at every cut: for each engine and phase, the power goes before each step that
// changes state (a file written, renamed or removed, a backup, a flash, and once inside the
// flash), then the hub does what it does after a restart (Mender rolls back what it had not
// recorded as committed; on a SWUpdate hub the boot-time recover runs), and then the next
// update must go through. Run with coreutils, and with busybox's applets (the cut runs in sh
// with them first on PATH; everything else in busybox's shell).
#include "tests/mender/hub.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <set>
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
const std::vector<std::string> SIM_ARGS{"--version", FACTORY, "--version-from-image",
                                        "--stay-in-receiver"};

enum class Phase { Install, Commit, Rollback, Recover };

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
        all.push_back({"swupdate_recover" + tools, &SWUPDATE, Phase::Recover, false, bb});
        all.push_back({"swupdate_first_recover" + tools, &SWUPDATE, Phase::Recover, true, bb});
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

    // Stand-ins for the state-changing commands first on PATH, then (busybox) busybox's
    // applets, and the update policy run by busybox's shell; every command in a session of its
    // own, which is what a cut takes down.
    void equip(Hub& hub) const {
        const std::string cut = hub.dir / "cut";
        if (!fs::exists(cut)) {
            fs::create_directories(cut);
            for (const char* cmd :
                 {"mkdir", "mv", "rm", "cp", "ln", "sync", "radioflash", "pairvault"})
                fs::create_symlink(CUT_SCRIPT, cut + "/" + cmd);
        }
        hub.pathFirst = cut;
        if (GetParam().busybox) {
            const std::string bb = hub.dir / "busybox";
            if (!fs::exists(bb)) {
                fs::create_directories(bb);
                for (const char* applet :
                     {"[",     "cat",  "cmp",  "cp",    "cut", "date",   "dd", "grep",
                      "head",  "ln",   "ls",   "mkdir", "mv",  "printf", "rm", "sed",
                      "sleep", "sync", "tail", "test",  "tr",  "wc"})
                    fs::create_symlink("/bin/busybox", bb + "/" + applet);
                // Busybox's flock (where it has one) takes no -w.
                writeText(bb + "/flock", "#!/bin/sh\ncase \" $* \" in *\" -w\"*) exit 64 ;; esac\n"
                                         "exec /usr/bin/flock \"$@\"\n");
                // Busybox's shell runs its own applets whatever PATH says, past the stand-ins:
                // while they are armed the policy runs in sh, with busybox's applets on PATH.
                writeText(bb + "/zigbee-module-update",
                          std::string("#!/bin/sh\nshell='/bin/busybox sh'\n"
                                      "[ -z \"$CUT_ARMED\" ] || shell=/bin/sh\nexec $shell ") +
                              ZB_SOURCE_DIR + "/packaging/update/zigbee-module-update \"$@\"\n");
                for (const char* f : {"/flock", "/zigbee-module-update"})
                    fs::permissions(bb + f, fs::perms::owner_all);
            }
            hub.pathFirst += ":" + bb;
        }
        hub.ownSession = true;
        hub.commonEnv = {"CUT_DIR=" + cut, "CUT_RECORD=" + hub.sim->recordPath, "CUT_AT=0",
                         "CUT_ARMED="};
    }

    // Arms the stand-ins to count the steps and cut before step `at` (0: none), or disarms them.
    void setCut(Hub& hub, int at, bool armed = true) const {
        hub.commonEnv.end()[-2] = "CUT_AT=" + std::to_string(at);
        hub.commonEnv.back() = armed ? "CUT_ARMED=1" : "CUT_ARMED=";
        writeText(hub.dir / "cut/count", "0\n");
        writeText(hub.dir / "cut/steps", "");
    }

    // The package of update `name` for this flow's engine, built once in the template.
    std::string package(const Hub& hub, const std::string& name,
                        const std::vector<std::uint8_t>& bytes, const std::string& version) const {
        return GetParam().engine->name == SWUPDATE.name ? hub.swu(name, bytes, version)
                                                        : hub.artifact(name, bytes, version);
    }
    std::string packagePath(const Hub& hub, const std::string& name) const {
        return hub.dir / (name + (GetParam().engine->name == SWUPDATE.name ? ".swu" : ".mender"));
    }

    // Installs a package built in the template; under Mender, commits it when it went in.
    ProcessResult install(const Hub& hub, const std::string& name) const {
        const std::string pkg = packagePath(hub, name);
        if (GetParam().engine->name == SWUPDATE.name)
            return hub.swupdate(pkg);
        const ProcessResult r = hub.mender({"install", pkg});
        return r.exitCode == 0 ? hub.mender({"commit"}) : r;
    }

    // What every cut point of the flow starts from: fw-a installed (unless this is the hub's
    // first update), fw-b and fw-c built, and, where the commit is cut, fw-b installed. fw-b
    // comes up as 2.0.0.0, or as 1.9.0.0 where the phase is the rollback of a bad build. Where
    // the boot-time recover is cut, the power has already gone once inside fw-b's flash.
    std::unique_ptr<Hub> makeTemplate() const {
        const Flow& f = GetParam();
        auto hub = std::make_unique<Hub>(SIM_ARGS);
        equip(*hub);
        setCut(*hub, 0, false);
        if (!f.firstUpdate) {
            package(*hub, "fw-a", IMAGE_A, "1.1.0.0");
            const ProcessResult a = install(*hub, "fw-a");
            EXPECT_EQ(a.exitCode, 0) << a.err << hub->log();
        }
        auto b = IMAGE_B;
        if (f.phase == Phase::Rollback)
            b[0] = 0x19;
        package(*hub, "fw-b", b, "2.0.0.0");
        writeFile(hub->dir / "fw-c.bin", IMAGE_C);
        if (f.phase == Phase::Commit) {
            const ProcessResult r = hub->mender({"install", packagePath(*hub, "fw-b")});
            EXPECT_EQ(r.exitCode, 0) << r.err << hub->log();
        }
        if (f.phase == Phase::Recover) {
            Hub count(*hub, SIM_ARGS);
            equip(count);
            setCut(count, 0);
            (void)count.swupdate(packagePath(count, "fw-b"));
            int flash = 0;
            for (const std::string& step : lines(readText(count.dir / "cut/steps")))
                if (step.find(" radioflash ") != std::string::npos &&
                    step.find(" -f ") != std::string::npos)
                    flash = std::stoi(step) + 1;
            EXPECT_GT(flash, 0) << readText(count.dir / "cut/steps");
            setCut(*hub, flash);
            (void)hub->swupdate(packagePath(*hub, "fw-b"));
            setCut(*hub, 0, false);
            hub->powerCycle();
            EXPECT_TRUE(hub->moduleWaits()) << hub->log();
        }
        return hub;
    }

    // The run the power cut falls into: fw-b's install (SWUpdate: the whole apply; the bad
    // build: the install and Mender's rollback), Mender's commit of it, or the boot's recover.
    ProcessResult cutRun(const Hub& hub) const {
        const Flow& f = GetParam();
        if (f.phase == Phase::Recover)
            return hub.run({"zigbee-module-update", "--as", "boot", "recover"});
        if (f.engine->name == SWUPDATE.name)
            return hub.swupdate(packagePath(hub, "fw-b"));
        if (f.phase == Phase::Commit)
            return hub.mender({"commit"});
        return hub.mender({"install", packagePath(hub, "fw-b")});
    }

    // What the hub does once the power is back: Mender's daemon rolls back what it had not
    // recorded as committed (ArtifactRollback, ArtifactFailure); standalone mender is then told
    // to roll back where it had recorded the install, which runs the rollback once more.
    ProcessResult restart(Hub& hub) const {
        hub.powerCycle();
        if (GetParam().engine->name == SWUPDATE.name) {
            // The boot unit's condition. Where it does not run, the outcome last recorded stands.
            if (!fs::exists(hub.stateDir + "/transaction") &&
                !fs::exists(hub.stateDir + "/committed")) {
                ProcessResult none;
                none.exitCode =
                    readText(hub.stateDir + "/last-transaction").find("phase=failed\n") ==
                            std::string::npos
                        ? 0
                        : 1;
                return none;
            }
            return hub.run({"zigbee-module-update", "--as", "boot", "recover"});
        }
        const std::string work = hub.dir / "work";
        fs::create_directories(work + "/header");
        writeText(work + "/header/artifact_name", "fw-b");
        const std::string module = MODULES_DIR + "/zigbee-module-firmware";
        // One run on the hub for the three (each costs a sandbox): the rollback's status is
        // the restart's, its reason on standard error; mender's own rollback runs it again.
        ProcessResult r = hub.run(
            {"sh", "-c",
             "\"$0\" ArtifactRollback \"$1\"; rc=$?; \"$0\" ArtifactFailure \"$1\" >/dev/null; "
             "again=$(mender --no-syslog --log-level error rollback 2>&1); a=$?; "
             "[ $a -eq $rc ] || case $again in *'nothing to commit'*) ;; *) echo \"$again\" ;; "
             "esac; "
             "exit $rc",
             module, work});
        EXPECT_EQ(r.out, "") << "mender rollback ends otherwise than the module's rollback";
        return r;
    }

    // Whether this flow's cut points have not yet left the hub as it is now: the module's
    // version and whether it waits, and the policy's files (a safety backup by its name).
    bool firstSeen(const Hub& hub, const std::string& version, bool waits) const {
        std::vector<std::string> files;
        for (const auto& e : fs::recursive_directory_iterator(hub.stateDir))
            if (e.is_regular_file())
                files.push_back(e.path().string().substr(hub.stateDir.size()));
        std::sort(files.begin(), files.end());
        std::string state = version + (waits ? " waiting\n" : "\n");
        for (const auto& f : files)
            state +=
                f + "\n" +
                (f.starts_with("/pairings-") || f == "/lock" ? "" : readText(hub.stateDir + f));
        const std::lock_guard<std::mutex> lock(seenMutex_);
        return seen_.insert(state).second;
    }

    // One cut point, or with `at` 0 the whole flow uncut; returns the steps counted.
    int sweepOne(const Hub& from, int at) const {
        const Flow& f = GetParam();
        SCOPED_TRACE("cut before step " + std::to_string(at));
        Hub hub(from, SIM_ARGS);
        equip(hub);
        const std::string earlier = f.firstUpdate ? FACTORY : "1.1.0.0";
        setCut(hub, at);
        const ProcessResult cut = cutRun(hub);
        const int steps = std::stoi(readText(hub.dir / "cut/count"));
        if (at == 0) {
            // A recover with no image kept finishes the module with fw-b's and says it failed.
            const bool fails =
                f.phase == Phase::Rollback || (f.phase == Phase::Recover && f.firstUpdate);
            EXPECT_EQ(cut.exitCode, fails ? 1 : 0) << cut.err << hub.log();
            EXPECT_GT(steps, 0) << cut.out << cut.err << hub.log();
        } else {
            EXPECT_TRUE(fs::exists(hub.dir / "cut/cut"))
                << "no cut: " << cut.exitCode << " " << cut.err << readText(hub.dir / "cut/steps")
                << hub.log();
        }
        const std::string cutSteps = readText(hub.dir / "cut/steps");
        setCut(hub, 0, false);
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
        // I3: the image the module runs is the way back of the next update: the committed image,
        // which the next install keeps, or else the kept one.
        if (version != FACTORY) {
            const std::string staged = hub.stateDir + "/committed/image";
            EXPECT_EQ(
                withFill(readFile(fs::exists(staged) ? staged : hub.stateDir + "/previous-image")),
                running)
                << trace;
        }
        // The policy's next update goes through, with the image that ran before it kept. Its
        // course depends only on the module and the policy's files: once per state they end in.
        if (!firstSeen(hub, version, waits))
            return steps;
        const ProcessResult next = hub.run({"zigbee-module-update", "--as", "next", "apply", "fw-c",
                                            hub.dir / "fw-c.bin", "3.0.0.0"});
        EXPECT_EQ(next.exitCode, 0) << next.err << trace;
        EXPECT_EQ(Hub::versionIn(readFile(hub.received)), "3.0.0.0") << trace;
        if (version != FACTORY) {
            EXPECT_EQ(withFill(readFile(hub.stateDir + "/previous-image")), running) << trace;
        }
        return steps;
    }

    mutable std::mutex seenMutex_;
    mutable std::set<std::string> seen_;
};

INSTANTIATE_TEST_SUITE_P(Flows, PowerCut, ::testing::ValuesIn(flows()),
                         [](const auto& p) { return p.param.name; });

TEST_P(PowerCut, EveryStep) {
    const auto from = makeTemplate();
    const int steps = sweepOne(*from, 0);
    ASSERT_GT(steps, 0);
    std::atomic<int> nextCut{1};
    std::vector<std::thread> workers;
    for (int w = 0; w < PARALLEL_CUTS; ++w)
        workers.emplace_back([&] {
            for (int at = nextCut++; at <= steps; at = nextCut++)
                sweepOne(*from, at);
        });
    for (auto& w : workers)
        w.join();
    RecordProperty("cut_points", steps);
    std::printf("%s: %d cut points, %zu states after them\n", GetParam().name.c_str(), steps,
                seen_.size());
}

} // namespace
