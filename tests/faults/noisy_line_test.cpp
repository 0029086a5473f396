// Backup, restore, reset with a blank backup, and firmware update over a line that drops,
// flips, duplicates and invents bytes, bursts noise, stalls and gets unplugged. Every run must
// end in a byte-exact success with the success words, or in the failure words and status the
// tools specify; a failed backup must leave the previous file alone; no run may outlast what
// the retry budgets allow or burn CPU while it waits.
#include "tests/faults/fault_line.h"

#include <gtest/gtest.h>

#include <set>

namespace {

enum class Op { Backup, Restore, ResetBlankBackup, Update };

const char* opName(Op op) {
    switch (op) {
    case Op::Backup:
        return "backup";
    case Op::Restore:
        return "restore";
    case Op::ResetBlankBackup:
        return "reset-blank-backup";
    case Op::Update:
        return "update";
    }
    return "?";
}

// Sizes: a few dozen blocks each, none a multiple of 128 except the restore file, whose extra
// fill block is part of what is checked.
constexpr std::size_t TABLE_SIZE = 3000;
constexpr std::size_t BLANK_SIZE = 1000;
constexpr std::size_t RESTORE_SIZE = 2560;
constexpr std::size_t IMAGE_SIZE = 4000;

// How long the module waits for the other side (modulesim --xm-timeout): its sender for an
// answer, its receiver for the first block (the update start pauses 2 s before listening).
constexpr double SIM_WAIT_S = 5.0;

// The time budgets, from the fixed pauses and retry counts of the tools.
constexpr double LINE_BYTES_PER_S = 11520;
constexpr double HEADER_WAIT_S = 1.6; // _inbyte(2)
constexpr double ANSWER_WAIT_S = 0.8; // _inbyte(1)
constexpr double COMMAND_S = 6 * 1.0; // six attempts, one second each
constexpr double SLACK_S = 15;        // sandbox start-up, a loaded machine

double blocksOf(std::size_t bytes) {
    return static_cast<double>(bytes / 128 + 1);
}
// The sender: 15 sync waits, five sends per block, five EOTs.
double senderBudget(std::size_t bytes) {
    return 15 * HEADER_WAIT_S +
           blocksOf(bytes) * 5 * (ANSWER_WAIT_S + 0.1 + 133 / LINE_BYTES_PER_S) + 5 * HEADER_WAIT_S;
}
// The receiver: 16 "C" and 16 NAK requests, then per block as long as the module's sender keeps
// trying (five sends), then 16 header waits once it has given up.
double receiverBudget(std::size_t bytes) {
    return 32 * HEADER_WAIT_S + blocksOf(bytes) * 5 * (SIM_WAIT_S + 0.2) + 16 * HEADER_WAIT_S;
}
double budget(Op op) {
    switch (op) {
    case Op::Backup:
        return COMMAND_S + receiverBudget(TABLE_SIZE) + SLACK_S;
    case Op::Restore:
        return COMMAND_S + senderBudget(RESTORE_SIZE) + 5 + COMMAND_S + SLACK_S;
    case Op::ResetBlankBackup:
        return 2 * COMMAND_S + COMMAND_S + receiverBudget(BLANK_SIZE) + SLACK_S;
    case Op::Update:
        // prepare: six attempts and one per restart (seven starts of 2 s)
        return 13 * 1.0 + 7 * 2.0 + senderBudget(IMAGE_SIZE) + 5 + SLACK_S;
    }
    return 0;
}

struct Unplug {
    bool on = false;
    RelayDir dir = RelayDir::AtoB;
    std::uint64_t after = 0;
};

// One run of `op` over a line with `plan`; adds to `tally`, returns false when the sandbox
// cannot run here.
bool runOnce(Op op, const FaultPlan& plan, Tally& tally, Unplug unplug = {}) {
    TempDir dir;
    FaultyLine line(plan);
    if (!line.ok()) {
        ADD_FAILURE() << "cannot open the line";
        return true;
    }
    const std::string previous = "the previous backup, which a failed one must not touch\n";
    std::vector<std::string> simOptions = {"--xm-timeout", std::to_string(int(SIM_WAIT_S * 1000))};
    std::vector<std::string> args;
    std::vector<std::uint8_t> expected;
    std::string result; // the file the outcome is judged by
    std::string program = "pairvault";
    std::set<std::string> failureWords;
    int successStatus = 1;
    int failureStatus = 255;

    switch (op) {
    case Op::Backup:
    case Op::ResetBlankBackup: {
        const bool blank = op == Op::ResetBlankBackup;
        const std::string table = dir / (blank ? "blank.bin" : "table.bin");
        expected = withFill(
            writePattern(table, blank ? BLANK_SIZE : TABLE_SIZE, plan.seed + (blank ? 12 : 11)),
            false);
        simOptions.insert(simOptions.end(), {blank ? "--blank-table" : "--table", table});
        result = dir / "backup.bin";
        writeText(result, previous);
        args = {"-backup", result, "-ohub"};
        failureWords = {"ERROR: cannot access port\n", "ERROR: fail to backup\n"};
        if (blank) { // the reset comes first, and fails with its own word
            args.insert(args.begin(), "-reset");
            failureWords.insert("ERROR\n");
        } else {
            failureStatus = 1;
        }
        break;
    }
    case Op::Restore: {
        const auto data = writePattern(dir / "restore.bin", RESTORE_SIZE, plan.seed + 13);
        result = dir / "table.bin";
        writeText(result, "the module's table before the restore\n");
        simOptions.insert(simOptions.end(), {"--table", result});
        args = {"-restore", dir / "restore.bin", "-ohub"};
        expected = withFill(data, true);
        failureWords = {"ERROR: cannot access port\n", "ERROR: fail to restore\n", "ERROR\n"};
        break;
    }
    case Op::Update: {
        program = "radioflash";
        const auto image = writePattern(dir / "image.bin", IMAGE_SIZE, plan.seed + 14);
        result = dir / "received.bin";
        simOptions.insert(simOptions.end(), {"--image", result});
        args = {"-f", dir / "image.bin", "-ohub"};
        expected = withFill(image, true);
        failureWords = {"ERROR: cannot access port\n", "ERROR: fail to update firmware\n"};
        successStatus = 0;
        break;
    }
    }

    SimModule sim(dir, simOptions, line.modulePath());
    if (!sim.started()) {
        ADD_FAILURE() << "modulesim did not start";
        return true;
    }
    if (unplug.on)
        line.unplugAfter(unplug.dir, unplug.after);
    const double limit = budget(op);
    const ToolRun r = runTool(program, dir, line.hostPath(), args, limit + 60);
    if (r.exitCode == 77)
        return false;

    const std::string what =
        std::string(opName(op)) + " seed " + std::to_string(plan.seed) + " rate " +
        std::to_string(plan.rate) + ": exit " + std::to_string(r.exitCode) + ", stdout [" + r.out +
        "], " + std::to_string(line.faults()) + " faults, " + std::to_string(r.seconds) +
        " s, cpu " + std::to_string(r.cpu) + " s\nstderr: " + r.err.substr(0, 2000) +
        "\nrun log:\n" +
        readText(dir / (program == "pairvault" ? "varlog/pairvault.log" : "varlog/radioimage.log"))
            .substr(0, 6000) +
        "\nmodule:\n" + sim.record().substr(0, 4000);
    ++tally.runs;
    tally.faults += line.faults();
    tally.slowest = std::max(tally.slowest, r.seconds);

    EXPECT_FALSE(r.sanitizerReport()) << what;
    // 128 + a signal number: killed by one (255 and 254 are the tools' own failure statuses).
    EXPECT_FALSE(r.exitCode > 128 && r.exitCode < 192) << "crashed: " << what;
    // Waiting is sleeping: even a sanitizer build spends a fraction of the wall time on CPU.
    const bool busy = r.cpu > 0.5 * r.seconds + 3;
    if (r.timedOut || r.seconds > limit || busy) {
        ++tally.hangs;
        ADD_FAILURE() << "hang or busy loop (budget " << limit << " s): " << what;
        return true;
    }

    if (r.exitCode == successStatus && r.out == "SUCCESS\n") {
        if (readFile(result) == expected) {
            ++tally.successes;
        } else {
            ++tally.silent;
            ADD_FAILURE() << "silent corruption: " << readFile(result).size() << " bytes, "
                          << expected.size() << " expected; " << what;
        }
    } else if (r.exitCode == failureStatus && failureWords.count(r.out) != 0) {
        ++tally.failures;
        if (op == Op::Backup || op == Op::ResetBlankBackup) {
            EXPECT_EQ(readText(result), previous)
                << "a failed backup touched the old file: " << what;
            for (const std::string& name : entries(dir.path))
                EXPECT_FALSE(name.starts_with(".backup.bin")) << "temporary file left: " << what;
        }
    } else {
        ADD_FAILURE() << "neither the success nor a specified failure: " << what;
    }
    return true;
}

// `op` over each of `plans`, reported as the group "<op>@<name>": whatever the outcomes, no
// silent corruption and no hang.
void runGroup(Op op, const std::string& name, const std::vector<FaultPlan>& plans) {
    Tally tally;
    tally.group = std::string(opName(op)) + "@" + name;
    for (const FaultPlan& plan : plans)
        if (!runOnce(op, plan, tally))
            GTEST_SKIP() << "the sandbox cannot run here";
    tally.report();
    EXPECT_EQ(tally.silent, 0);
    EXPECT_EQ(tally.hangs, 0);
}

// `seeds` runs of `op` with the single-byte faults at `rate`.
void runRate(Op op, double rate, const char* rateName, int seeds) {
    std::vector<FaultPlan> plans;
    for (int s = 1; s <= seeds; ++s)
        plans.push_back(
            {.seed = static_cast<std::uint64_t>(s) * 1000 + static_cast<std::uint64_t>(op),
             .rate = rate});
    runGroup(op, rateName, plans);
}

constexpr int SEEDS = 6;
constexpr Op ALL_OPS[] = {Op::Backup, Op::Restore, Op::ResetBlankBackup, Op::Update};

} // namespace

#define RATE_TESTS(OpName, op)                                                                     \
    TEST(NoisyLine, OpName##_1e4) {                                                                \
        runRate(op, 1e-4, "1e-4", SEEDS);                                                          \
    }                                                                                              \
    TEST(NoisyLine, OpName##_1e3) {                                                                \
        runRate(op, 1e-3, "1e-3", SEEDS);                                                          \
    }                                                                                              \
    TEST(NoisyLine, OpName##_1e2) {                                                                \
        runRate(op, 1e-2, "1e-2", SEEDS);                                                          \
    }

RATE_TESTS(Backup, Op::Backup)
RATE_TESTS(Restore, Op::Restore)
RATE_TESTS(ResetBlankBackup, Op::ResetBlankBackup)
RATE_TESTS(Update, Op::Update)

// Bursts of 8..64 random bytes, about one per 1500 bytes; and the line stopping for longer
// than any of the tools' waits (2.5 s), once or twice per direction.
TEST(NoisyLine, NoiseBursts) {
    for (Op op : ALL_OPS) {
        const auto seed = 7000 + static_cast<std::uint64_t>(op);
        runGroup(op, "bursts",
                 {{.seed = seed + 10, .burstRate = 1.0 / 1500},
                  {.seed = seed + 20, .burstRate = 1.0 / 1500}});
    }
}

TEST(NoisyLine, StallsLongerThanTheTimeouts) {
    for (Op op : ALL_OPS) {
        const auto seed = 8000 + static_cast<std::uint64_t>(op);
        runGroup(op, "stalls",
                 {{.seed = seed + 10, .stallRate = 1.0 / 1200},
                  {.seed = seed + 20, .stallRate = 1.0 / 1200}});
    }
}

// The adapter is pulled out: during the first command frame, and halfway through the data.
// Reads then see end-of-file or EIO and writes fail; the run must end with the failure words,
// within the budget.
TEST(NoisyLine, Unplugged) {
    for (Op op : ALL_OPS) {
        Tally tally;
        tally.group = std::string(opName(op)) + "@unplug";
        const bool moduleSends = op == Op::Backup || op == Op::ResetBlankBackup;
        const std::size_t size = op == Op::Backup             ? TABLE_SIZE
                                 : op == Op::ResetBlankBackup ? BLANK_SIZE
                                 : op == Op::Restore          ? RESTORE_SIZE
                                                              : IMAGE_SIZE;
        const Unplug points[] = {
            {true, RelayDir::AtoB, 3},
            {true, moduleSends ? RelayDir::BtoA : RelayDir::AtoB, size / 2},
        };
        for (const Unplug& u : points) {
            FaultPlan plan;
            plan.seed = 9000 + static_cast<std::uint64_t>(op);
            if (!runOnce(op, plan, tally, u))
                GTEST_SKIP() << "the sandbox cannot run here";
        }
        tally.report();
        EXPECT_EQ(tally.successes, 0) << "an unplugged run cannot succeed";
        EXPECT_EQ(tally.failures, tally.runs);
        EXPECT_EQ(tally.hangs, 0);
    }
}
