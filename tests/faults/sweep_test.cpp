// The cut sweep: every operation is ended at every step of its exchange (after each frame and
// each block) by SIGINT, by SIGKILL and by the module falling silent, and then followed by what
// a person would try next: the same command again, `radioflash -f`, `pairvault -backup`; each
// of those must succeed. After every run: the module's table only ever holds a restore file (or
// its own tables), its firmware receiver only ever took the firmware image, SUCCESS comes only
// with the module holding what was meant, the previous backup is byte for byte as it was unless
// a new one replaced it whole, nothing else is left beside it, and no run calls a restore or
// backup transfer a cut update. Each case is its own CTest test (label `sweep`), so their pauses
// overlap.
#include "tests/faults/fault_line.h"

#include <gtest/gtest.h>

#include <csignal>
#include <future>
#include <sys/stat.h>
#include <thread>

namespace {

constexpr std::size_t DATA_SIZE = 100; // one block each way
constexpr double RUN_LIMIT_S = 120;

enum class Op { Backup, Restore, ResetRestore, ResetBackup, Update };
enum class Cut { Sigint, Sigkill, Silent };

struct Step {
    RelayDir dir;
    std::uint64_t bytes; // the step is over once this many bytes went `dir`
    const char* name;
};

struct OpInfo {
    const char* name;
    std::vector<Step> steps;
};

// Byte counts on the line: a request 6 (the start and reset requests 14), a status reply 7, the
// gateway reply 14, a block 133, EOT 1.
const OpInfo& opInfo(Op op) {
    using enum RelayDir;
    static const std::vector<OpInfo> all = {
        {"backup",
         {{AtoB, 6, "command"}, {BtoA, 7, "reply"}, {BtoA, 140, "block"}, {BtoA, 141, "eot"}}},
        {"restore",
         {{AtoB, 6, "command"},
          {BtoA, 7, "reply"},
          {AtoB, 139, "block"},
          {AtoB, 140, "eot"},
          {AtoB, 146, "reboot"}}},
        {"reset_restore",
         {{AtoB, 6, "command"},
          {BtoA, 7, "reply"},
          {AtoB, 139, "block"},
          {AtoB, 140, "eot"},
          {AtoB, 146, "reboot"},
          {AtoB, 152, "gateway"},
          {AtoB, 166, "reset"}}},
        {"reset_backup",
         {{AtoB, 6, "gateway"},
          {AtoB, 20, "reset"},
          {AtoB, 26, "command"},
          {BtoA, 28, "reply"},
          {BtoA, 161, "block"},
          {BtoA, 162, "eot"}}},
        {"update",
         {{AtoB, 6, "prepare"},
          {BtoA, 7, "prepare_reply"},
          {AtoB, 20, "start"},
          {BtoA, 8, "start_reply"},
          {AtoB, 153, "block"},
          {AtoB, 154, "eot"}}},
    };
    return all[static_cast<std::size_t>(op)];
}

struct Case {
    Op op;
    std::size_t step;
    Cut cut;
};

std::vector<Case> allCases() {
    std::vector<Case> cases;
    // The longest first, so that CTest's parallel jobs end together.
    for (const Cut cut : {Cut::Silent, Cut::Sigkill, Cut::Sigint})
        for (const Op op : {Op::ResetBackup, Op::ResetRestore, Op::Update, Op::Restore, Op::Backup})
            for (std::size_t step = 0; step < opInfo(op).steps.size(); ++step)
                cases.push_back({op, step, cut});
    return cases;
}

// One module, its line and its files, and what every run must leave.
struct Rig {
    TempDir files; // the blank table must exist before the module starts
    std::vector<std::uint8_t> table = pattern(DATA_SIZE, 1);
    std::vector<std::uint8_t> blank = writePattern(files / "blank.bin", DATA_SIZE, 2);
    std::vector<std::uint8_t> restore = writePattern(files / "restore.bin", DATA_SIZE, 3);
    std::vector<std::uint8_t> image = writePattern(files / "image.bin", DATA_SIZE, 4);
    // A stranded update leaves the module in its firmware receiver; it gives up waiting for the
    // far side of any other transfer after 3 s.
    Bench b{{"--xm-timeout", "3000", "--stay-in-receiver", "--blank-table", files / "blank.bin"},
            table,
            true};
    std::string keep = files / "keep";
    std::string backup = keep + "/b.bin";
    std::string runDir = files / "run";
    std::vector<std::uint8_t> previous; // what the backup file must still hold
    bool debris = false; // a killed backup's temporary file, until the next backup removes it

    Rig() {
        mkdir(keep.c_str(), 0755);
        mkdir(runDir.c_str(), 0755);
        writeText(backup, "the previous backup\n");
        previous = readFile(backup);
    }

    std::pair<std::string, std::vector<std::string>> command(Op op) const {
        switch (op) {
        case Op::Backup:
            return {"pairvault", {"-backup", backup, "-ohub"}};
        case Op::Restore:
            return {"pairvault", {"-restore", files / "restore.bin", "-ohub"}};
        case Op::ResetRestore:
            return {"pairvault", {"-reset", "-restore", files / "restore.bin", "-ohub"}};
        case Op::ResetBackup:
            return {"pairvault", {"-reset", "-backup", backup, "-ohub"}};
        case Op::Update:
            break;
        }
        return {"radioflash", {"-f", files / "image.bin", "-ohub"}};
    }

    ToolRun run(Op op) {
        const auto [program, args] = command(op);
        return runTool(program, b.dir, b.line.hostPath(), args, RUN_LIMIT_S, {"--run", runDir});
    }

    // The invariants, after a run of `op` that printed `out`; `what` names the run.
    void check(Op op, const std::string& out, bool cutUpdates, const std::string& what,
               bool killed = false) {
        const bool backs = op == Op::Backup || op == Op::ResetBackup;
        if (backs)
            debris = killed;
        SCOPED_TRACE(what + "\n" + b.log("pairvault.log") + b.log("radioimage.log") +
                     b.sim->record());
        const auto nowTable = readFile(b.dir / "table.bin");
        const auto nowImage = readFile(b.dir / "image.bin");
        EXPECT_TRUE(nowTable == table || nowTable == blank || nowTable == withFill(restore, false))
            << "the module's table holds something else than a table or a restore file";
        EXPECT_TRUE(nowImage.empty() || nowImage == withFill(image, false))
            << "the firmware receiver took something else than the image";
        const bool success = out == "SUCCESS\n";
        if (success && op == Op::Restore) {
            EXPECT_EQ(nowTable, withFill(restore, false));
        }
        if (success && (op == Op::ResetRestore || op == Op::ResetBackup)) {
            EXPECT_EQ(nowTable, blank);
        }
        if (success && op == Op::Update) {
            EXPECT_EQ(nowImage, withFill(image, false));
        }
        if (success && backs)
            previous = withFill(nowTable, false);
        EXPECT_EQ(readFile(backup), previous) << "the backup file is neither the old nor the new";
        EXPECT_EQ(entries(keep).size(), debris ? 2u : 1u);
        EXPECT_EQ(entries(keep).back(), "b.bin");
        // Only a cut update leaves the firmware receiver waiting.
        if (!cutUpdates) {
            const std::string logs = b.log("pairvault.log") + b.log("radioimage.log");
            EXPECT_EQ(countOf(logs, "waiting for a firmware image"), 0);
        }
    }
};

class CutSweep : public ::testing::TestWithParam<Case> {};

TEST_P(CutSweep, NothingGoesWhereItWasNotMeant) {
    const Case c = GetParam();
    const Step& step = opInfo(c.op).steps[c.step];
    Rig rig;
    ASSERT_TRUE(rig.b.ok());
    const int simPid = rig.b.sim->process().pid;
    const std::string program = rig.command(c.op).first;

    auto cutRun = std::async(std::launch::async, [&] { return rig.run(c.op); });
    int pid = -1;
    const bool atStep = waitFor(
        [&] {
            if (cutRun.wait_for(std::chrono::seconds(0)) == std::future_status::ready)
                return true;
            if (pid < 0)
                pid = findTool(program);
            return pid >= 0 && rig.b.line.delivered(step.dir) >= step.bytes;
        },
        RUN_LIMIT_S);
    const bool ended = cutRun.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    if (atStep && !ended)
        kill(c.cut == Cut::Silent ? simPid : pid, c.cut == Cut::Sigint    ? SIGINT
                                                  : c.cut == Cut::Sigkill ? SIGKILL
                                                                          : SIGSTOP);
    const ToolRun r = cutRun.get();
    // What the stopped module took whole reaches its files a moment after it goes on.
    if (c.cut == Cut::Silent) {
        kill(simPid, SIGCONT);
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    if (r.exitCode == 77)
        GTEST_SKIP() << "the sandbox cannot run here";
    ASSERT_TRUE(atStep && !ended) << "the run ended before the step: " << r.out;
    EXPECT_FALSE(r.sanitizerReport()) << r.err;
    const bool updates = c.op == Op::Update;
    rig.check(c.op, r.out, updates, "the cut run", c.cut == Cut::Sigkill);

    std::vector<Op> next = {c.op};
    if (!updates)
        next.push_back(Op::Update);
    if (c.op != Op::Backup && c.op != Op::ResetBackup)
        next.push_back(Op::Backup);
    std::string failed;
    for (const Op op : next) {
        const ToolRun f = rig.run(op);
        EXPECT_FALSE(f.sanitizerReport()) << f.err;
        if (f.out != "SUCCESS\n")
            failed += std::string(" ") + opInfo(op).name + ": " + f.out;
        rig.check(op, f.out, updates, std::string("then ") + opInfo(op).name);
    }
    // Whatever the cut, what a person tries next works: nothing is left open that a later run
    // cannot end.
    EXPECT_EQ(failed, "");
}

INSTANTIATE_TEST_SUITE_P(Steps, CutSweep, ::testing::ValuesIn(allCases()), [](const auto& p) {
    const Case& c = p.param;
    return std::string(opInfo(c.op).name) + "_" + opInfo(c.op).steps[c.step].name + "_" +
           (c.cut == Cut::Sigint    ? "sigint"
            : c.cut == Cut::Sigkill ? "sigkill"
                                    : "silent");
});

} // namespace
