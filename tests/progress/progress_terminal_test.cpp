// The progress line of the shipped pairvault as a person at a terminal sees it, and the
// guarantee that comes with it: standard output, the run log and the exit status are the same
// whether standard error is a terminal or not, and a script reading standard error sees
// nothing new.
#include "tests/pairvault/harness.h"
#include "tests/support/data.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

// A run log without its timestamped header and without what depends on timing: the 50 ms
// waits that happened to run out, and "C" requests that happened to share a read with a reply.
std::vector<std::string> comparableLog(const std::string& log) {
    std::vector<std::string> kept;
    for (auto line : lines(withoutHeader(log))) {
        if (line.rfind("inbyte failed", 0) == 0)
            continue;
        if (line.rfind("Receive ", 0) == 0)
            line = line.substr(0, line.find(':'));
        kept.push_back(line);
    }
    return kept;
}

// Checks what the terminal received: redraws of one line, each starting at the line's
// beginning, never a new line, and the line erased at the end.
void expectErasedLine(const std::string& term, const std::string& mustShow) {
    ASSERT_FALSE(term.empty()) << "no progress line";
    EXPECT_EQ(term.find('\n'), std::string::npos) << term;
    EXPECT_EQ(term.front(), '\r') << term;
    const std::string erase = "\r\033[K";
    ASSERT_GE(term.size(), erase.size());
    EXPECT_EQ(term.substr(term.size() - erase.size()), erase) << term;
    EXPECT_NE(term.find(mustShow), std::string::npos) << term;
    // Every drawing fits the 100-column terminal with its last column free.
    std::size_t pos = 0;
    while ((pos = term.find('\r', pos)) != std::string::npos) {
        const std::size_t end = term.find("\033[K", pos);
        ASSERT_NE(end, std::string::npos) << term;
        EXPECT_LE(end - pos - 1, 99u);
        pos = end;
    }
}

} // namespace

// The first drawing comes as soon as the first block is written (backup) or acknowledged
// (restore).
TEST(ProgressTerminal, TransfersDrawAndEraseALineAndChangeNothingElse) {
    const struct {
        std::string input, mode, result; // file given to the module or the tool, and the outcome
        std::size_t size;
        std::string mustShow, firstDrawing;
    } cases[] = {
        {"table", "-backup", "b.bin", 40000, " received", "\r  128 B received"},
        {"restore.bin", "-restore", "table", 20000, " of 19.5 KiB", "\r  128 B of 19.5 KiB"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        writePattern(dir / c.input, c.size);
        SimModule sim(dir, {"--table", dir / "table"});
        ASSERT_TRUE(sim.started());
        const std::string file = c.mode == "-backup" ? dir / c.result : dir / c.input;
        const auto argv = pairvaultArgv(dir, sim.pty, {"-ohub", c.mode, file});

        const auto piped = runProcess(argv, kSanitizerEnv, 90);
        SKIP_WITHOUT_SANDBOX(piped);
        const std::string pipedLog = readText(dir / "varlog/pairvault.log");
        const auto pipedData = readFile(dir / c.result);
        std::remove((dir / "varlog/pairvault.log").c_str());
        std::remove((dir / c.result).c_str());
        const auto term = runProcessOnTerminal(argv, kSanitizerEnv, 90);

        EXPECT_EQ(piped.exitCode, 1) << piped.err;
        EXPECT_EQ(piped.out, "SUCCESS\n");
        EXPECT_EQ(piped.err, "");
        EXPECT_EQ(term.exitCode, piped.exitCode);
        EXPECT_EQ(term.out, piped.out);
        EXPECT_EQ(comparableLog(readText(dir / "varlog/pairvault.log")), comparableLog(pipedLog));
        EXPECT_EQ(readFile(dir / c.result), pipedData) << c.mode;
        expectErasedLine(term.err, c.mustShow);
        EXPECT_EQ(term.err.rfind(c.firstDrawing, 0), 0u) << term.err;
    }
}

TEST(ProgressTerminal, NoLineWhenTheRunLogIsTheTerminal) {
    TempDir dir;
    writePattern(dir / "table", 20000);
    SimModule sim(dir, {"--table", dir / "table"});
    ASSERT_TRUE(sim.started());
    const auto term = runProcessOnTerminal(
        pairvaultArgv(dir, sim.pty, {"-ohub", "-backup", dir / "b.bin", "-l", "stderr"}),
        kSanitizerEnv, 90);
    SKIP_WITHOUT_SANDBOX(term);
    EXPECT_EQ(term.exitCode, 1) << term.err;
    EXPECT_EQ(term.out, "SUCCESS\n");
    // The log itself is on the terminal, and nothing else is.
    EXPECT_TRUE(hasHeader(term.err)) << term.err;
    EXPECT_NE(term.err.find("backup filename: " + dir / "b.bin" + "\n"), std::string::npos);
    EXPECT_EQ(term.err.find('\r'), std::string::npos) << term.err;
    EXPECT_EQ(term.err.find("received"), std::string::npos) << term.err;
}

// Output stopped with Ctrl-S (or an SSH channel that stalls) for the whole run: the transfer
// must not wait for the terminal; every drawing is skipped and the backup completes as always.
TEST(ProgressTerminal, StoppedTerminalNeverHoldsUpTheTransfer) {
    TempDir dir;
    writePattern(dir / "table", 20000);
    SimModule sim(dir, {"--table", dir / "table"});
    ASSERT_TRUE(sim.started());
    const auto term =
        runProcessOnTerminal(pairvaultArgv(dir, sim.pty, {"-ohub", "-backup", dir / "b.bin"}),
                             kSanitizerEnv, 90, 100, true);
    SKIP_WITHOUT_SANDBOX(term);
    EXPECT_FALSE(term.timedOut);
    EXPECT_EQ(term.exitCode, 1) << term.err;
    EXPECT_EQ(term.out, "SUCCESS\n");
    EXPECT_EQ(readFile(dir / "b.bin"), withFill(pattern(20000)));
}

// A job in the background of its terminal (started with "&" by a shell with job control) draws
// nothing there; with "stty tostop" a drawing would even stop the transfer.
TEST(ProgressTerminal, NoLineInTheBackground) {
    TempDir dir;
    writePattern(dir / "table", 20000);
    SimModule sim(dir, {"--table", dir / "table"});
    ASSERT_TRUE(sim.started());
    // A session of its own with the terminal as its controlling terminal, and a shell with job
    // control that starts the run as a background job and waits for it.
    std::vector<std::string> argv = {"/bin/sh", "-c",
                                     "exec setsid -c /bin/sh -c \"$0\" sh \"$@\" <&2",
                                     "set -m; \"$@\" & wait $!"};
    const auto run = pairvaultArgv(dir, sim.pty, {"-ohub", "-backup", dir / "b.bin"});
    argv.insert(argv.end(), run.begin(), run.end());
    const auto term = runProcessOnTerminal(argv, kSanitizerEnv, 90);
    SKIP_WITHOUT_SANDBOX(term);
    EXPECT_EQ(term.exitCode, 1) << term.err;
    EXPECT_EQ(term.out, "SUCCESS\n");
    EXPECT_EQ(term.err.find(" received"), std::string::npos) << term.err;
    EXPECT_EQ(readFile(dir / "b.bin").size(), (20000 / 128 + 1) * 128u);
}
