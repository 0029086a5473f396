// The world around the line misbehaving: two programs on one port, an adapter that is gone by
// the time it is opened, a run log that cannot be written, a backup disk that fills up, input
// files that lie about their size or have awkward names, module replies that are oversized,
// made of 0xAA or echo our own request, and line noise that forges an EOT.
#include "tests/faults/fault_line.h"
#include "tests/support/xmodem_rig.h"
#include "xmodem/xmodem.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <future>
#include <thread>

namespace {

constexpr double RUN_LIMIT_S = 120;

std::string hex(const std::vector<std::uint8_t>& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string s;
    for (auto b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 0xF];
    }
    return s;
}

} // namespace

// The second program finds the port taken and fails like an unopenable port, sending nothing;
// the first carries on and its backup is byte-exact. A port that another process has open
// without a lock is refused the same way.
TEST(WorldFaults, SecondProgramOnABusyPortFailsAndTheFirstCompletes) {
    TempDir files;
    Bench b({}, pattern(80000, 41)); // about seven seconds on the line
    ASSERT_TRUE(b.sim->started());
    const std::string backup = files / "backup.bin";

    auto first = std::async(std::launch::async, [&] {
        return runTool("pairvault", b.dir, b.line.hostPath(), {"-backup", backup, "-ohub"},
                       RUN_LIMIT_S);
    });
    // Wait until the first run has the module sending.
    ASSERT_TRUE(
        waitFor([&] { return b.sim->record().find("RX 00 00 09") != std::string::npos; }, 20));

    TempDir other;
    const ToolRun reboot =
        runTool("pairvault", other, b.line.hostPath(), {"-reboot", "-ohub"}, RUN_LIMIT_S);
    SKIP_WITHOUT_SANDBOX(reboot);
    const ToolRun version =
        runTool("radioflash", other, b.line.hostPath(), {"-currentversion", "-ohub"}, RUN_LIMIT_S);
    const ToolRun one = first.get();

    EXPECT_EQ(reboot.exitCode, 255);
    EXPECT_EQ(reboot.out, "");
    // The run log says why, and nothing else happened.
    const auto rebootLog = lines(readText(other / "varlog/pairvault.log"));
    ASSERT_EQ(rebootLog.size(), 3u);
    EXPECT_EQ(rebootLog[1], "device: /dev/ttyS4");
    EXPECT_EQ(rebootLog[2].rfind("flock: ", 0), 0u) << rebootLog[2];
    EXPECT_EQ(version.exitCode, 255);
    EXPECT_EQ(version.out, "ERROR\n");
    EXPECT_NE(readText(other / "varlog/radioimage.log").find("flock: "), std::string::npos);

    EXPECT_EQ(one.exitCode, 1) << one.err;
    EXPECT_EQ(one.out, "SUCCESS\n");
    EXPECT_EQ(readFile(backup), withFill(b.table, false));
    // Only the first program's frame reached the module.
    EXPECT_EQ(countOf(b.sim->record(), "RX "), 1) << b.sim->record();

    // A process that holds the port without a lock (the hub's Zigbee host, a modem manager)
    // makes it busy just the same, for every mode, and is named.
    const std::vector<std::string> holder = {
        "sh", "-c", "sleep 30 3<>/dev/ttyS4 & h=$!; sleep 0.5; \"$@\"; rc=$?; kill $h; exit $rc",
        "sh"};
    writePattern(files / "image.bin", 200);
    const struct {
        std::string program;
        std::vector<std::string> args;
        std::string out;
    } held[] = {{"pairvault", {"-backup", backup}, ""},
                {"pairvault", {"-restore", files / "image.bin"}, ""},
                {"radioflash", {"-f", files / "image.bin"}, "ERROR: cannot access port\n"},
                {"radioflash", {"-currentversion"}, "ERROR\n"}};
    for (const auto& h : held) {
        TempDir logs;
        auto args = h.args;
        args.push_back("-ohub");
        const ToolRun r =
            runTool(h.program, logs, b.line.hostPath(), args, RUN_LIMIT_S, {}, holder);
        EXPECT_EQ(r.exitCode, 255) << h.program << " " << h.args[0];
        EXPECT_EQ(r.out, h.out) << h.program << " " << h.args[0];
        const std::string name = h.program == "pairvault" ? "pairvault.log" : "radioimage.log";
        const std::string log = readText(logs / ("varlog/" + name));
        const auto at = log.find("ERROR: /dev/ttyS4 is open in process ");
        EXPECT_NE(at, std::string::npos) << log;
        EXPECT_EQ(log.substr(log.find(' ', at + 37), 9), " (sleep)\n") << log;
    }
    EXPECT_EQ(readFile(backup), withFill(b.table, false));
    EXPECT_EQ(countOf(b.sim->record(), "RX "), 1) << b.sim->record();
}

// Discovery names an adapter whose device node is gone by the time it is opened.
TEST(WorldFaults, AdapterGoneBetweenDiscoveryAndOpen) {
    TempDir dir;
    const auto sandbox = fakeAdapters(dir, {{"ttyUSB0", "0403", "6015"}});
    const std::string backup = dir / "backup.bin";
    writeText(backup, "previous");
    writePattern(dir / "image.bin", 1000, 1);

    const ToolRun pv = runTool("pairvault", dir, "", {"-backup", backup}, RUN_LIMIT_S, sandbox);
    SKIP_WITHOUT_SANDBOX(pv);
    EXPECT_EQ(pv.exitCode, 255);
    EXPECT_EQ(pv.out, "");
    EXPECT_EQ(readText(backup), "previous");
    const std::string pvLog = readText(dir / "varlog/pairvault.log");
    EXPECT_NE(pvLog.find("device: /dev/ttyUSB0\n"), std::string::npos) << pvLog;
    EXPECT_NE(pvLog.find("open: No such file or directory\n"), std::string::npos) << pvLog;

    const ToolRun rf =
        runTool("radioflash", dir, "", {"-f", dir / "image.bin"}, RUN_LIMIT_S, sandbox);
    EXPECT_EQ(rf.exitCode, 255);
    EXPECT_EQ(rf.out, "ERROR: cannot access port\n");
    const ToolRun ver = runTool("radioflash", dir, "", {"-currentversion"}, RUN_LIMIT_S, sandbox);
    EXPECT_EQ(ver.exitCode, 255);
    EXPECT_EQ(ver.out, "ERROR\n");
    EXPECT_LT(pv.seconds + rf.seconds + ver.seconds, 60); // no waiting on a port that is not there
}

// A run log that takes nothing after it was opened: every operation still completes and its
// outcome still reaches stdout and the exit status.
TEST(WorldFaults, RunLogOnAFullDevice) {
    TempDir files;
    const auto data = pattern(700, 52);
    writeFile(files / "restore.bin", data);
    Bench b({}, pattern(1000, 51), true);
    ASSERT_TRUE(b.sim->started());

    const struct {
        std::string program;
        std::vector<std::string> args;
        int status;
        std::string out, result; // the file the outcome is judged by (none when empty)
        std::vector<std::uint8_t> expected;
    } runs[] = {
        {"pairvault",
         {"-backup", files / "backup.bin", "-ohub", "-l", "/dev/full"},
         1,
         "SUCCESS\n",
         files / "backup.bin",
         withFill(b.table, false)},
        {"pairvault",
         {"-restore", files / "restore.bin", "-ohub", "-log", "/dev/full"},
         1,
         "SUCCESS\n",
         b.dir / "table.bin",
         withFill(data, true)},
        {"radioflash",
         {"-f", files / "restore.bin", "-ohub", "-l", "/dev/full"},
         0,
         "SUCCESS\n",
         b.dir / "image.bin",
         withFill(data, true)},
        {"radioflash", {"-currentversion", "-ohub", "-l", "/dev/full"}, 1, "1.2.3.4\n", "", {}},
    };
    for (const auto& run : runs) {
        const ToolRun r = runTool(run.program, b.dir, b.line.hostPath(), run.args, RUN_LIMIT_S);
        SKIP_WITHOUT_SANDBOX(r);
        EXPECT_EQ(r.exitCode, run.status) << run.args[0];
        EXPECT_EQ(r.out, run.out) << run.args[0];
        if (!run.result.empty()) {
            EXPECT_EQ(readFile(run.result), run.expected) << run.args[0];
        }
    }
}

// The backup's filesystem (a 12 KiB tmpfs) fills up halfway through a 20 KB backup.
TEST(WorldFaults, BackupDiskFillsUpMidTransfer) {
    TempDir files;
    Bench b({}, pattern(20000, 61));
    ASSERT_TRUE(b.sim->started());
    const std::string mnt = files / "small";
    mkdir(mnt.c_str(), 0755);
    // The tmpfs lives in the sandbox's mount namespace only, so the script reports what is
    // left on it after the run: the names in it, then the old backup's content.
    const std::string script = "mount -t tmpfs -o size=12k small \"$1\" || exit 77\n"
                               "printf 'previous backup' > \"$1/backup.bin\"\n"
                               "\"$2\" -backup \"$1/backup.bin\" -ohub\n"
                               "rc=$?\n"
                               "ls -A \"$1\" >&2\n"
                               "cat \"$1/backup.bin\" >&2\n"
                               "exit $rc\n";
    const ToolRun r = runTool("pairvault", b.dir, b.line.hostPath(), {}, RUN_LIMIT_S, {},
                              {"/bin/sh", "-c", script, "sh", mnt});
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.out, "ERROR: fail to backup\n");
    EXPECT_EQ(r.err, "backup.bin\nprevious backup") << "the old backup must stay, alone";
    const std::string log = b.log("pairvault.log");
    EXPECT_NE(log.find("file write error: No space left on device\n"), std::string::npos) << log;
    EXPECT_NE(log.find("result = -1 (canceled by remote)\n"), std::string::npos) << log;
}

// A restore file or firmware image that cannot be sent whole is refused, by both programs alike,
// before the module is told anything: missing, empty (what a backup the module never started
// leaves: restoring it would wipe every pairing), too large for the sender to report complete,
// a directory, a FIFO nobody writes to, a device, unreadable, or shorter than its size says.
TEST(WorldFaults, UnsendableFilesAreRefusedBeforeAnyFrame) {
    Bench b;
    ASSERT_TRUE(b.sim->started());
    const TempDir& d = b.dir;
    writeText(d / "empty.bin", "");
    writeText(d / "huge.bin", ""); // sparse: one block more than the sender can carry
    ASSERT_EQ(truncate((d / "huge.bin").c_str(), (off_t{1} << 31) - 128), 0);
    mkdir((d / "adir").c_str(), 0755);
    ASSERT_EQ(mkfifo((d / "fifo").c_str(), 0644), 0);
    writePattern(d / "locked.bin", 200);
    chmod((d / "locked.bin").c_str(), 0);
    // Even as root the file must not be readable: the tool runs without the capabilities that
    // override file permissions.
    const std::vector<std::string> noOverride = {
        "setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"};
    const std::string liar = "/sys/devices/system/cpu/online";
    struct stat st {};
    const bool haveLiar = stat(liar.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                          static_cast<std::size_t>(st.st_size) > readText(liar).size();

    struct Case {
        std::string path, text, step; // step: the last stdout line's words, "" for none
        std::vector<std::string> wrapper = {};
    };
    std::vector<Case> cases = {
        {d / "missing.bin", "No such file or directory", ""},
        {d / "empty.bin", "No data available", "invalid file size, "},
        {d / "huge.bin", "File too large", "invalid file size, "},
        {d / "adir", "Is a directory", "cannot read "},
        {d / "fifo", "Illegal seek", "cannot seek "},
        {"/dev/zero", "Illegal seek", "cannot seek "},
        {d / "locked.bin", "Permission denied", "cannot open ", noOverride},
    };
    if (haveLiar)
        cases.push_back({liar, "Input/output error", "cannot read "});
    for (const auto& c : cases) {
        for (const std::string program : {"pairvault", "radioflash"}) {
            const bool pv = program == "pairvault";
            const std::string what = program + " " + c.path;
            // Nothing here waits on the module: a run still going after 30 s hangs.
            const ToolRun r = runTool(program, b.dir, b.line.hostPath(),
                                      {pv ? "-restore" : "-f", c.path, "-ohub"}, 30, {}, c.wrapper);
            SKIP_WITHOUT_SANDBOX(r);
            EXPECT_FALSE(r.timedOut) << what;
            EXPECT_EQ(r.exitCode, 255) << what;
            std::string out = std::string("ERROR: invalid ") + (pv ? "restore" : "firmware") +
                              " file\nERROR: " + c.text + ": " + c.path + "\n";
            if (!c.step.empty())
                out += "ERROR: " + c.step + c.path + "\n";
            EXPECT_EQ(r.out, out) << what;
            // The run log ends where the file was looked at; nothing of it goes there.
            const std::string logPath =
                b.dir / (pv ? "varlog/pairvault.log" : "varlog/radioimage.log");
            std::string log = readText(logPath);
            unlink(logPath.c_str());
            log = log.substr(log.find('\n') + 1);
            const std::string missing =
                c.step.empty() ? "ERROR: cannot access " + c.path + "\n" : "";
            EXPECT_EQ(log, pv ? "device: /dev/ttyS4\nPreparing to restore device /dev/ttyS4...\n"
                                "restore filename: " +
                                    c.path + "\n" + missing
                              : "device: /dev/ttyS4\nfirmware: " + c.path + "\n" +
                                    (missing.empty() ? "Preparing to update device /dev/ttyS4...\n"
                                                     : missing))
                << what;
        }
    }
    EXPECT_EQ(b.sim->record().find("RX "), std::string::npos)
        << "a frame for a file we cannot send";
}

// Spaces, shell metacharacters and bytes that are not UTF-8 in file names reach the files
// unchanged, and the transfers are byte-exact.
TEST(WorldFaults, OddPathsCarryTheData) {
    TempDir files;
    const std::string odd = files / "my backups; $(touch x) \xc3\xbc\xff";
    ASSERT_EQ(mkdir(odd.c_str(), 0755), 0);
    const auto data = pattern(1280, 72);
    const std::string restoreFile = odd + "/r\xe9"
                                          "store 1.bin";
    writeFile(restoreFile, data);
    Bench b({}, pattern(900, 71), true);
    ASSERT_TRUE(b.sim->started());

    const std::string backup = odd + "/b\xe4"
                                     "ckup 1.bin";
    const ToolRun r1 =
        runTool("pairvault", b.dir, b.line.hostPath(), {"-backup", backup, "-ohub"}, RUN_LIMIT_S);
    SKIP_WITHOUT_SANDBOX(r1);
    EXPECT_EQ(r1.out, "SUCCESS\n");
    EXPECT_EQ(readFile(backup), withFill(b.table, false));
    EXPECT_NE(b.log("pairvault.log").find("backup filename: " + backup + "\n"), std::string::npos);

    const ToolRun r2 = runTool("pairvault", b.dir, b.line.hostPath(),
                               {"-restore", restoreFile, "-ohub"}, RUN_LIMIT_S);
    EXPECT_EQ(r2.out, "SUCCESS\n");
    EXPECT_EQ(readFile(b.dir / "table.bin"), withFill(data, true));

    const ToolRun r3 =
        runTool("radioflash", b.dir, b.line.hostPath(), {"-f", restoreFile, "-ohub"}, RUN_LIMIT_S);
    EXPECT_EQ(r3.out, "SUCCESS\n");
    EXPECT_EQ(readFile(b.dir / "image.bin"), withFill(data, true));
    struct stat st {};
    EXPECT_NE(stat((files / "x").c_str(), &st), 0) << "a file name was run as a command";
}

// Replies the module should never send: more than a read takes (1024 bytes), all 0xAA, or our
// own request echoed back. The reply tests decide; nothing reads out of bounds (the sanitizer
// build reports any such read through the exit status). A module left waiting in its firmware
// receiver (reply "waiting") answers only with 'C'/NAK: every mode fails as it would on any
// module that never accepts, says in the run log how to finish the update, and sends it no
// data; only an update brings it back.
TEST(WorldFaults, HostileReplies) {
    const std::string aa1500 = "bytes:" + hex(std::vector<std::uint8_t>(1500, 0xAA));
    std::vector<std::uint8_t> bigVersion = {0x00, 0x01, 0x01, 0x08, 0x02, 0x34, 0x12, 0xAA};
    bigVersion.resize(1300, 0x55);
    std::vector<std::uint8_t> bigGateway = {0x00, 0x01, 0x04, 0x08, 0xFF};
    bigGateway.resize(1100, 0xAA); // its ID would be AA x 8: the module refuses that reset
    struct Case {
        std::string program;
        std::vector<std::string> args;
        std::string reply;
        int exitCode;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"pairvault", {"-reboot", "-ohub"}, "06=" + aa1500, 254, "ERROR\n"},
        {"pairvault", {"-reboot", "-ohub"}, "06=bytes:0000060000aa", 254, "ERROR\n"},
        {"pairvault",
         {"-create", "-ohub"},
         "03=bytes:0001030801" + std::string(2100, 'a'),
         254,
         "ERROR\n"},
        {"pairvault", {"-reset", "-ohub"}, "04=" + aa1500, 255, "ERROR\n"},
        {"pairvault", {"-reset", "-ohub"}, "04=bytes:" + hex(bigGateway), 255, "ERROR\n"},
        {"pairvault", {"-reset", "-ohub"}, "04=bytes:0000040000aa", 255, "ERROR\n"},
        {"radioflash", {"-currentversion", "-ohub"}, "01=" + aa1500, 255, "NORESPONSE\n"},
        {"radioflash", {"-currentversion", "-ohub"}, "01=bytes:0000010000aa", 255, "NORESPONSE\n"},
        {"radioflash", {"-currentversion", "-ohub"}, "01=bytes:" + hex(bigVersion), 1, "1.2.3.4\n"},
        {"radioflash",
         {"-f", "IMAGE", "-ohub"},
         "e0=" + aa1500,
         255,
         "ERROR: cannot access port\n"},
        {"radioflash",
         {"-f", "IMAGE", "-ohub"},
         "e0=bytes:0000e00000aa",
         255,
         "ERROR: cannot access port\n"},
        {"pairvault", {"-backup", "BACKUP", "-ohub"}, "waiting", 1, "ERROR: cannot access port\n"},
        {"pairvault",
         {"-restore", "IMAGE", "-ohub"},
         "waiting",
         255,
         "ERROR: cannot access port\n"},
        {"pairvault", {"-reset", "-ohub"}, "waiting", 255, "ERROR\n"},
        // A receiver that asks only every three seconds is noticed after a silent pause.
        {"pairvault",
         {"-restore", "IMAGE", "-ohub"},
         "waiting3",
         255,
         "ERROR: cannot access port\n"},
        {"pairvault",
         {"-reset", "-restore", "IMAGE", "-ohub"},
         "waiting3",
         255,
         "ERROR: cannot access port\n"},
        // Whether the version request's 0x01 swallows the first ask decides between the two.
        {"radioflash", {"-currentversion", "-ohub"}, "waiting", 255, "ERROR\n|NORESPONSE\n"},
    };
    for (const Case& c : cases) {
        const bool waiting = c.reply.starts_with("waiting");
        Bench b(waiting ? std::vector<std::string>{"--start-in-receiver", "--ask-every",
                                                   c.reply == "waiting3" ? "3000" : "1000"}
                        : std::vector<std::string>{"--reply", c.reply},
                {}, waiting);
        ASSERT_TRUE(b.sim->started());
        const auto image = writePattern(b.dir / "image.bin", 500, 3);
        writeText(b.dir / "backup.bin", "previous");
        std::vector<std::string> args = c.args;
        for (auto& a : args)
            if (a == "IMAGE" || a == "BACKUP")
                a = b.dir / (a == "IMAGE" ? "image.bin" : "backup.bin");
        const ToolRun r = runTool(c.program, b.dir, b.line.hostPath(), args, RUN_LIMIT_S);
        SKIP_WITHOUT_SANDBOX(r);
        const std::string what = c.program + " " + args[0] + " " + c.reply.substr(0, 40);
        EXPECT_FALSE(r.sanitizerReport()) << what << "\n" << r.err;
        EXPECT_EQ(r.exitCode, c.exitCode) << what;
        EXPECT_NE(("|" + c.out + "|").find("|" + r.out + "|"), std::string::npos) << what;
        const std::string log =
            b.log(c.program == "pairvault" ? "pairvault.log" : "radioimage.log");
        EXPECT_EQ(countOf(log, "waiting for a firmware image"), waiting ? 1 : 0) << what << log;
        EXPECT_EQ(readFile(b.dir / "image.bin"), image) << what;
        EXPECT_EQ(readText(b.dir / "backup.bin"), "previous") << what;
    }
}

// An EOT out of line noise, with the next block right behind it, is not the end of the
// transfer: taking it would cut the backup short and still call it a success.
TEST(WorldFaults, NoiseEotWithBytesBehindItDoesNotEndTheReceive) {
    EngineRig rig;
    TempDir dir;
    FILE* out = std::fopen((dir / "out.bin").c_str(), "wb");
    ASSERT_NE(out, nullptr);
    std::int32_t result = 0;
    std::thread receiver([&] { result = xmodemReceive(out); });

    auto block = [](std::uint8_t number, std::uint8_t fill) {
        return handBlock(number, std::vector<std::uint8_t>(128, fill), true);
    };
    auto send = [&](const std::vector<std::uint8_t>& bytes) {
        ASSERT_EQ(write(rig.pty.master, bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    };
    EXPECT_EQ(readByteWithin(rig.pty.master, 5000), 'C');
    send(block(1, 0x11));
    EXPECT_EQ(readByteWithin(rig.pty.master, 5000), ACK);
    // Noise: an EOT, then block 2 straight after it.
    std::vector<std::uint8_t> noisy = {EOT};
    const auto second = block(2, 0x22);
    noisy.insert(noisy.end(), second.begin(), second.end());
    send(noisy);
    int answer = readByteWithin(rig.pty.master, 5000);
    EXPECT_NE(answer, -1);
    if (answer == NAK) { // the stray EOT cost the block; the sender repeats it
        send(second);
        answer = readByteWithin(rig.pty.master, 5000);
    }
    EXPECT_EQ(answer, ACK);
    send({EOT});
    EXPECT_EQ(readByteWithin(rig.pty.master, 5000), ACK);
    receiver.join();
    std::fclose(out);
    EXPECT_EQ(result, 256);
    std::vector<std::uint8_t> expected(128, 0x11);
    expected.resize(256, 0x22);
    EXPECT_EQ(readFile(dir / "out.bin"), expected);
}

// The reader of "-l stdout" has gone before the run starts (`... | head -1`): the log lines and
// the outcome word fail quietly, and the restore still reboots the module and ends with its
// usual status.
TEST(WorldFaults, StdoutIntoAGoneReaderStillRebootsAfterTheRestore) {
    TempDir files;
    const auto data = pattern(700, 71);
    writeFile(files / "restore.bin", data);
    Bench b({"--table", files / "table.bin"});
    ASSERT_TRUE(b.sim->started());
    // The reader ends at once; the program starts a second later, writing into a pipe nobody
    // reads any more.
    const std::string script = "{ sleep 1; exec \"$@\"; } | true; exit ${PIPESTATUS[0]}";
    const ToolRun r = runTool("pairvault", b.dir, b.line.hostPath(),
                              {"-restore", files / "restore.bin", "-ohub", "-l", "stdout"},
                              RUN_LIMIT_S, {}, {"/bin/bash", "-c", script, "bash"});
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(readFile(files / "table.bin"), withFill(data, true));
    const std::string rec = b.sim->record();
    EXPECT_NE(rec.find("RX 00 00 06 00 00 aa"), std::string::npos) << "no reboot: " << rec;
}

// A standard descriptor closed at start must not become the module port: the log lines or the
// outcome word written to it would go down the module's line.
TEST(WorldFaults, ClosedStandardDescriptorNeverBecomesThePort) {
    struct Row {
        const char* close; // the shell redirection that closes it
        const char* log;
        const char* out;
    };
    for (const Row& row : {Row{"1>&-", "stdout", ""}, Row{"2>&-", "stderr", "SUCCESS\n"}}) {
        SCOPED_TRACE(row.close);
        TempDir files;
        Bench b({}, pattern(3000, 81));
        ASSERT_TRUE(b.sim->started());
        const std::string script = std::string("exec \"$@\" ") + row.close;
        const ToolRun r = runTool("pairvault", b.dir, b.line.hostPath(),
                                  {"-backup", files / "backup.bin", "-ohub", "-l", row.log},
                                  RUN_LIMIT_S, {}, {"/bin/sh", "-c", script, "sh"});
        SKIP_WITHOUT_SANDBOX(r);
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_EQ(r.out, row.out);
        EXPECT_EQ(readFile(files / "backup.bin"), withFill(b.table, false));
        const std::string rec = b.sim->record();
        EXPECT_EQ(countOf(rec, "RX "), 1) << rec;
        EXPECT_EQ(countOf(rec, "JUNK"), 0) << rec;
    }
}

// The discovery shell and udevadm inherit no descriptor of ours (the run log is open by then):
// the udevadm found first lists the descriptors it was given, which must be those the program
// itself was started with.
TEST(WorldFaults, DiscoveryChildrenInheritNoDescriptor) {
    // Single digits only: the shell keeps its own descriptors from 10 up.
    const std::string listFds = "for f in /proc/$$/fd/?; do echo \"${f##*/}\"; done";
    for (const std::string program : {"pairvault", "radioflash"}) {
        SCOPED_TRACE(program);
        TempDir dir;
        const std::string sysfs = dir / "usb-serial";
        mkdir(sysfs.c_str(), 0755);
        mkdir((sysfs + "/ttyUSB0").c_str(), 0755);
        const std::string bin = dir / "bin";
        mkdir(bin.c_str(), 0755);
        writeText(bin + "/udevadm", "#!/bin/sh\n" + listFds + " >\"${0%/*}/fds\"\n" +
                                        "echo E: ID_VENDOR_ID=0403\necho E: ID_MODEL_ID=6015\n");
        chmod((bin + "/udevadm").c_str(), 0755);
        const std::string script =
            listFds + " >\"$1/inherited\"; PATH=\"$1:$PATH\"; shift; exec \"$@\"";
        const ToolRun r =
            runTool(program, dir, "", {program == "pairvault" ? "-reboot" : "-currentversion"},
                    RUN_LIMIT_S, {"--usb-serial", sysfs}, {"/bin/sh", "-c", script, "sh", bin});
        SKIP_WITHOUT_SANDBOX(r);
        EXPECT_EQ(r.exitCode, 255); // the adapter's device node does not exist
        EXPECT_EQ(readText(bin + "/fds"), readText(bin + "/inherited"));
        EXPECT_NE(readText(bin + "/fds"), "");
    }
}
