// Ctrl-C, kill, `timeout` and a dropped SSH session: SIGINT, SIGTERM and SIGHUP sent to the
// shipped programs at every kind of point of a run, over a line at the serial pace with the
// simulated module on its far end. Every run must be gone within a second, dead by that very
// signal; the module must see CAN CAN CAN exactly when it may have started a transfer for the
// run (from the command that starts one on) and no other byte beyond the frames it was sent
// before; a backup's temporary file must be gone and
// the previous backup untouched; the run log must end with the line naming the signal; nothing
// may reach standard output. Each run's figures go to <build>/tests/faults/signals/.
#include "tests/faults/fault_line.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <set>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace {

constexpr std::size_t DATA_SIZE = 20000; // about two seconds on the line
constexpr std::uint64_t INTO_TRANSFER = 4000;
constexpr std::uint64_t FRAME = 6;        // a request without payload
constexpr std::uint64_t START_FRAME = 14; // the update start request
constexpr std::uint64_t STATUS_REPLY = 7;
constexpr double GONE_WITHIN_S = 1.0;
constexpr double RUN_LIMIT_S = 90;
const std::string PREVIOUS = "the previous backup, which an interrupted one must not touch\n";

enum class Kind { Backup, Restore, Update, Reset };

struct Scenario {
    const char* name;
    Kind kind;
    // When to send the signals: once `after` bytes went `dir`, or (when set) once the run
    // log holds `logMark`.
    RelayDir dir;
    std::uint64_t after;
    int frames;        // request frames the module receives in the whole run
    bool cancelled;    // a transfer the module may have started for the run is cancelled
    bool moduleInRole; // the module is in its XMODEM role (its record then ends the role)
    std::vector<std::string> simOptions;
    const char* logMark = nullptr;
    const char* wrapper = nullptr; // a bash script the program runs under (its argv from $1 on)
};

const std::vector<Scenario>& matrix() {
    using enum Kind;
    using enum RelayDir;
    static const std::vector<Scenario> points = {
        {"backup_command_pause", Backup, AtoB, FRAME, 1, true, false, {"--reply", "09=silent"}},
        {"backup_transfer", Backup, BtoA, STATUS_REPLY + INTO_TRANSFER, 1, true, true, {}},
        {"restore_transfer", Restore, AtoB, FRAME + INTO_TRANSFER, 1, true, true, {}},
        {"update_prepare_pause", Update, AtoB, FRAME, 1, false, false, {}},
        {"update_start_pause", Update, AtoB, FRAME + START_FRAME, 2, true, true, {}},
        {"update_transfer", Update, AtoB, FRAME + START_FRAME + INTO_TRANSFER, 2, true, true, {}},
        {"reset_pause", Reset, AtoB, FRAME, 1, false, false, {}},
    };
    return points;
}

const Scenario& scenario(std::string_view name) {
    for (const Scenario& s : matrix())
        if (s.name == name)
            return s;
    throw std::out_of_range(std::string(name));
}

const char* signalName(int sig) {
    return sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : "SIGHUP";
}

struct Outcome {
    bool skipped = false;
    int exitCode = -1;
    double goneAfter = -1; // seconds from the first signal to the end of the process
    std::string out;
    std::string log;
    std::string record;
    std::vector<std::string> keptNames; // what is left beside the previous backup
    std::string kept;                   // the previous backup's content afterwards
    std::vector<std::uint8_t> moduleTable;
};

// One run of `s`, interrupted by `signals` sent back to back.
Outcome interruptRun(const Scenario& s, const std::vector<int>& signals, const char* log) {
    Outcome o;
    // The module's receiver gives up after this long without a block. It must outlast the
    // update's pause after the start request plus one ask interval with room for a loaded
    // machine: at 3 s a run slowed by a second lost its receiver before the first block.
    std::vector<std::string> simOptions = {"--xm-timeout", "6000"};
    simOptions.insert(simOptions.end(), s.simOptions.begin(), s.simOptions.end());
    Bench b(simOptions, pattern(DATA_SIZE, 7), true);
    if (!b.ok()) {
        ADD_FAILURE() << "cannot set up the line and the module";
        return o;
    }
    const TempDir& dir = b.dir;
    FaultyLine& line = b.line;
    SimModule& sim = *b.sim;
    const std::string keep = dir / "keep";
    mkdir(keep.c_str(), 0755);
    const std::string backup = keep + "/backup.bin";
    writeText(backup, PREVIOUS);
    writeFile(dir / "send.bin", b.table);

    std::string program = "pairvault";
    std::vector<std::string> args;
    switch (s.kind) {
    case Kind::Backup:
        args = {"-backup", backup};
        break;
    case Kind::Restore:
        args = {"-restore", dir / "send.bin"};
        break;
    case Kind::Update:
        program = "radioflash";
        args = {"-f", dir / "send.bin"};
        break;
    case Kind::Reset:
        args = {"-reset"};
        break;
    }
    args.push_back("-ohub");
    if (log != nullptr)
        args.insert(args.end(), {"-l", log});
    std::vector<std::string> wrapper;
    if (s.wrapper != nullptr)
        wrapper = {"/bin/bash", "-c", s.wrapper, "bash"};
    const std::string logPath =
        dir / (program == "pairvault" ? "varlog/pairvault.log" : "varlog/radioimage.log");

    auto run = std::async(std::launch::async, [&] {
        return runTool(program, dir, line.hostPath(), args, RUN_LIMIT_S, {}, wrapper);
    });
    int pid = -1;
    const bool atPoint = waitFor(
        [&] {
            if (run.wait_for(std::chrono::seconds(0)) == std::future_status::ready)
                return true; // ended (or never started) before the point
            if (pid < 0) {
                pid = findTool(program);
                // Under a wrapper the point is wherever the program got stuck by then.
                if (pid >= 0 && s.wrapper != nullptr)
                    std::this_thread::sleep_for(std::chrono::seconds(1));
            }
            if (pid < 0)
                return false;
            if (s.logMark != nullptr)
                return readText(logPath).find(s.logMark) != std::string::npos;
            return line.delivered(s.dir) >= s.after;
        },
        60);
    if (!atPoint || pid < 0 || run.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
        const ToolRun r = run.get();
        o.skipped = r.exitCode == 77;
        if (!o.skipped)
            ADD_FAILURE() << "the run never reached the point: status " << r.exitCode << "\n"
                          << r.out << r.err << "run log:\n"
                          << readText(logPath) << "module:\n"
                          << sim.record();
        return o;
    }
    const auto sent = std::chrono::steady_clock::now();
    for (const int sig : signals)
        kill(pid, sig);
    waitFor([&] { return gone(pid); }, 30);
    o.goneAfter = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
    const ToolRun r = run.get();
    o.exitCode = r.exitCode;
    o.out = r.out;

    // The module ends a role it was in (on our cancel, or by its own timeout) before its
    // record is complete; otherwise a stray byte would show as junk within a fraction of a
    // second.
    if (s.moduleInRole)
        waitFor([&] { return sim.record().find("XM end") != std::string::npos; }, 15);
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
    o.record = sim.record();
    o.log = readText(logPath);
    o.keptNames = entries(keep);
    o.kept = readText(backup);
    o.moduleTable = readFile(dir / (s.kind == Kind::Update ? "image.bin" : "table.bin"));
    return o;
}

std::string lastLine(std::string text) {
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text.substr(text.rfind('\n') + 1);
}

// The bytes the module's record calls junk, each behind a space.
std::string junkOf(const std::string& record) {
    std::string junk;
    for (const std::string& line : lines(record))
        if (line.starts_with("JUNK "))
            junk += line.substr(4);
    return junk;
}

// The checks every interrupted run must pass, ending by signal `died`.
void expectCleanEnd(const Scenario& s, const Outcome& o, int died, bool logged = true) {
    EXPECT_EQ(o.exitCode, 128 + died);
    EXPECT_LT(o.goneAfter, GONE_WITHIN_S);
    EXPECT_EQ(o.out, "") << "nothing may reach standard output";
    if (logged) {
        EXPECT_EQ(lastLine(o.log), std::string("ERROR: ") + strsignal(died)) << o.log;
    }
    EXPECT_EQ(o.keptNames, std::vector<std::string>{"backup.bin"}) << "no temporary file";
    EXPECT_EQ(o.kept, PREVIOUS);
    EXPECT_EQ(countOf(o.record, "RX "), s.frames) << o.record;
    // The cancel reaches the module's transfer, or (a module that has not started its side
    // yet) its command parser as junk: either way exactly once, and nothing else does.
    const bool inRole = countOf(o.record, "rx cancel: 18 18 18\n") == 1;
    const std::string junk = junkOf(o.record);
    if (s.cancelled) {
        EXPECT_TRUE(inRole != (junk == " 18 18 18")) << o.record;
        EXPECT_TRUE(junk.empty() || junk == " 18 18 18") << o.record;
    } else {
        EXPECT_FALSE(inRole) << o.record;
        EXPECT_EQ(junk, "") << o.record;
    }
    EXPECT_EQ(countOf(o.record, "rx cancel:"), inRole ? 1 : 0) << o.record;
    EXPECT_EQ(countOf(o.record, "rx junk"), 0) << o.record;
}

void report(const std::string& name, int sig, const Outcome& o) {
    char text[256];
    std::snprintf(text, sizeof text, "SIGNAL %-22s %-7s status=%d gone=%.0fms can=%s temp=%zu",
                  name.c_str(), signalName(sig), o.exitCode, o.goneAfter * 1000,
                  o.record.find("rx cancel: 18 18 18") != std::string::npos ||
                          junkOf(o.record) == " 18 18 18"
                      ? "yes"
                      : "no",
                  o.keptNames.size() - 1);
    std::printf("%s\n", text);
    const std::string dir = std::string(ZB_BIN_DIR) + "/tests/faults/signals";
    mkdir(dir.c_str(), 0755);
    std::ofstream(dir + "/" + name + "-" + signalName(sig)) << text << "\n";
}

class SignalMatrix : public ::testing::TestWithParam<std::tuple<std::size_t, int>> {};

TEST_P(SignalMatrix, EndsCleanlyAndDiesByTheSignal) {
    const Scenario& s = matrix()[std::get<0>(GetParam())];
    const int sig = std::get<1>(GetParam());
    const Outcome o = interruptRun(s, {sig}, nullptr);
    if (o.skipped)
        GTEST_SKIP() << "the sandbox cannot run here";
    report(s.name, sig, o);
    expectCleanEnd(s, o, sig);
}

INSTANTIATE_TEST_SUITE_P(Points, SignalMatrix,
                         ::testing::Combine(::testing::Range<std::size_t>(0, matrix().size()),
                                            ::testing::Values(SIGINT, SIGTERM, SIGHUP)),
                         [](const auto& p) {
                             return std::string(matrix()[std::get<0>(p.param)].name) + "_" +
                                    signalName(std::get<1>(p.param));
                         });

// Signals twice or together, a signal in the last pause after a successful transfer, a signal
// while the run log is on a full disk or stuck in a pipe nobody reads.
TEST(SignalBadInput, EachEndsAsAnyOtherInterruption) {
    const Scenario& backupTransfer = scenario("backup_transfer");
    const Scenario& restoreTransfer = scenario("restore_transfer");
    using enum Kind;
    using enum RelayDir;
    const Scenario restoreSettled = {
        "restore_settle_pause", Restore, AtoB, 0, 1, false, true, {}, "result = "};
    const Scenario updateSettled = {
        "update_settle_pause", Update, AtoB, 0, 2, false, true, {}, "result = "};
    // Standard output is a pipe that is full already (and that the program itself holds open
    // for reading, so no SIGPIPE): the run blocks on its first log line.
    const char* fill = "p=$(mktemp -u) && mkfifo \"$p\" && exec 3<>\"$p\" && rm \"$p\" && "
                       "head -c 65536 /dev/zero >&3 && exec \"$@\" >&3";
    const Scenario stuck = {"log_pipe_full", Backup, AtoB, 0, 0, false, false, {}, nullptr, fill};
    struct Row {
        const Scenario& scenario;
        std::vector<int> signals;
        const char* log; // "-l" value, or null for the default run log
    };
    const std::vector<Row> rows = {
        {backupTransfer, {SIGINT, SIGINT}, nullptr}, {restoreTransfer, {SIGTERM, SIGHUP}, nullptr},
        {restoreSettled, {SIGTERM}, nullptr},        {updateSettled, {SIGHUP}, nullptr},
        {backupTransfer, {SIGTERM}, "/dev/full"},    {stuck, {SIGINT}, "stdout"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.scenario.name);
        const Outcome o = interruptRun(row.scenario, row.signals, row.log);
        if (o.skipped)
            GTEST_SKIP() << "the sandbox cannot run here";
        // Signals that arrive together may be taken in either order; the run ends by the one
        // it took, and says so once.
        int died = row.signals.front();
        for (const int sig : row.signals)
            if (o.exitCode == 128 + sig)
                died = sig;
        expectCleanEnd(row.scenario, o, died, row.log == nullptr);
        if (row.log == nullptr) {
            EXPECT_EQ(countOf(o.log, "ERROR: " + std::string(strsignal(died))), 1) << o.log;
        }
        if (row.scenario.logMark != nullptr) { // the transfer had ended: the module has it all
            EXPECT_EQ(o.moduleTable, withFill(pattern(DATA_SIZE, 7), false));
        }
    }
}

} // namespace
