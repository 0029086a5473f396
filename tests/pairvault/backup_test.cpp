// Backup mode, end to end: the file ends up byte for byte as the module sent it, and a backup
// that fails leaves whatever stood at the path before untouched.
#include "tests/pairvault/harness.h"
#include "tests/support/data.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace {

mode_t modeOf(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

// A medium that returns byte `offset` of the files whose path contains `part` wrong on reading.
std::vector<std::string> lyingMedium(const std::string& part, int offset) {
    return {"env", std::string("LD_PRELOAD=") + LYING_MEDIUM_SHIM_PATH,
            "LYING_MEDIUM=" + part + ":" + std::to_string(offset)};
}

} // namespace

TEST(PairvaultBackup, SuccessIsByteExactAndKeepsModesAndLinks) {
    TempDir dir;
    const auto table = writePattern(dir / "table", 300);
    SimModule sim(dir, {"--table", dir / "table"});
    ASSERT_TRUE(sim.started());
    const std::string out = dir / "out";
    mkdir(out.c_str(), 0755);

    // A new file holds the network's keys: its owner's only, whatever the umask allows.
    ProcessResult r;
    for (const mode_t mask : {022u, 027u}) {
        umask(mask);
        unlink((out + "/b.bin").c_str());
        r = runPairvault(dir, sim.pty, {"-ohub", "-backup", out + "/b.bin"});
        SKIP_WITHOUT_SANDBOX(r);
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_EQ(r.out, "SUCCESS\n");
        EXPECT_EQ(readFile(out + "/b.bin"), withFill(table));
        EXPECT_EQ(modeOf(out + "/b.bin"), 0600u);
    }
    const auto log = lines(withoutHeader(defaultLog(dir)));
    ASSERT_GE(log.size(), 6u);
    EXPECT_EQ(log[1], "Preparing to backup device /dev/ttyS4...");
    EXPECT_EQ(log[2], "backup filename: " + out + "/b.bin");
    EXPECT_EQ(log[3], "Send Backup Command: 00 00 09 00 00 aa ");
    EXPECT_EQ(log[4], "Receive Backup Command: 00 01 09 08 01 00 aa ");
    EXPECT_EQ(log.back(), "result = 384 (success)");

    // An existing file keeps its permission bits, but no set-id bit; a symbolic link keeps
    // pointing at the new content. The medium's read-back gets past a byte it does not hold.
    writeText(out + "/b.bin", "old");
    chmod((out + "/b.bin").c_str(), 02640);
    ASSERT_EQ(symlink("b.bin", (out + "/link").c_str()), 0);
    r = runPairvault(dir, sim.pty, {"-ohub", "-backup", out + "/link"}, {},
                     lyingMedium(".b.bin.", 384));
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.out, "SUCCESS\n");
    EXPECT_EQ(readFile(out + "/b.bin"), withFill(table));
    EXPECT_EQ(modeOf(out + "/b.bin"), 0640u);
    struct stat st {};
    ASSERT_EQ(lstat((out + "/link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(entries(out), (std::vector<std::string>{"b.bin", "link"}));

    // A replaced backup keeps its owner and group, in a setgid directory too; a new one there
    // takes the directory's group but no group read bit.
    const std::string shared = dir / "shared";
    mkdir(shared.c_str(), 0);
    ASSERT_EQ(chown(shared.c_str(), 0, 100), 0);
    chmod(shared.c_str(), 02775);
    writeText(shared + "/kept.bin", "old");
    ASSERT_EQ(chown((shared + "/kept.bin").c_str(), 1000, 1000), 0);
    chmod((shared + "/kept.bin").c_str(), 0640);
    for (const std::string name : {"kept.bin", "new.bin"}) {
        r = runPairvault(dir, sim.pty, {"-ohub", "-backup", shared + "/" + name});
        EXPECT_EQ(r.out, "SUCCESS\n");
        ASSERT_EQ(stat((shared + "/" + name).c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, name == "kept.bin" ? 1000u : geteuid()) << name;
        EXPECT_EQ(st.st_gid, name == "kept.bin" ? 1000u : 100u) << name;
        EXPECT_EQ(st.st_mode & 07777, name == "kept.bin" ? 0640u : 0600u) << name;
    }
}

TEST(PairvaultBackup, FailuresKeepThePreviousFileAndLeaveNoTemporary) {
    TempDir dir;
    const std::string out = dir / "out";
    mkdir(out.c_str(), 0755);
    writeText(out + "/old.bin", "previous good backup");

    {
        // The module refuses the command: six answers, none accepted.
        SimModule sim(dir, {"--reply", "09=status:01"});
        ASSERT_TRUE(sim.started());
        const auto r = runPairvault(dir, sim.pty, {"-ohub", "-backup", out + "/old.bin"});
        SKIP_WITHOUT_SANDBOX(r);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "ERROR: cannot access port\n");
        const auto log = lines(defaultLog(dir));
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ(log[log.size() - 2], "No valid response.");
        EXPECT_EQ(log.back(), "ERROR: backup init fail!");
    }
    EXPECT_EQ(readText(out + "/old.bin"), "previous good backup");

    // Over an old file and into a new one, the transfer breaks off after the first block, or
    // the medium reads byte 200 of the 384 it was given back wrong.
    for (const bool lies : {false, true})
        for (const std::string name : {"old.bin", "new.bin"}) {
            SimModule sim(dir, {"--xm-cancel", lies ? "0" : "2"});
            ASSERT_TRUE(sim.started());
            const auto r =
                runPairvault(dir, sim.pty, {"-ohub", "-backup", out + "/" + name}, {},
                             lies ? lyingMedium(".bin.", 200) : std::vector<std::string>{});
            EXPECT_EQ(r.exitCode, 1);
            EXPECT_EQ(r.out, "ERROR: fail to backup\n");
            EXPECT_EQ(lines(defaultLog(dir)).back(),
                      lies ? "ERROR: " + out + "/" + name +
                                 " reads back different from what was received, first in bytes "
                                 "128-255"
                           : "result = -1 (canceled by remote)");
        }
    EXPECT_EQ(readText(out + "/old.bin"), "previous good backup");
    EXPECT_EQ(entries(out), std::vector<std::string>{"old.bin"});
}

TEST(PairvaultBackup, UnwritableTargetsFail) {
    TempDir dir;
    SimModule sim(dir, {});
    ASSERT_TRUE(sim.started());
    const std::string path = dir / "missing/b.bin";
    const auto r = runPairvault(dir, sim.pty, {"-backup", path, "-ohub"});
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "ERROR: cannot open " + path + "\n");
    EXPECT_EQ(withoutHeader(defaultLog(dir)), "device: /dev/ttyS4\n"
                                              "Preparing to backup device /dev/ttyS4...\n"
                                              "backup filename: " +
                                                  path +
                                                  "\n"
                                                  "ERROR: No such file or directory: " +
                                                  path + "\n");
    EXPECT_TRUE(sim.requests().empty());

    // A device takes each block as it arrives: the first it cannot store ends the transfer,
    // and the module is not told that block arrived.
    const auto full = runPairvault(dir, sim.pty, {"-backup", "/dev/full", "-ohub"});
    EXPECT_EQ(full.exitCode, 1);
    EXPECT_EQ(full.out, "ERROR: fail to backup\n");
    EXPECT_NE(defaultLog(dir).find("file write error: No space left on device\n"
                                   "result = -1 (canceled by remote)\n"),
              std::string::npos);
    EXPECT_EQ(sim.record().find("XM rx ACK"), std::string::npos);
}

// Until the complete backup is in place, only its temporary file is there. Temporary files of
// the same target that a killed run of the same user left are removed; one a live run holds is
// not, nor one of another user, one with a second link, or a look-alike of another tool.
TEST(PairvaultBackup, NothingButTheTemporaryFileUntilTheEnd) {
    TempDir dir;
    const auto table = writePattern(dir / "table", 300);
    // The first backup command is refused: the run holds its target a second longer.
    SimModule sim(dir, {"--table", dir / "table", "--reply", "09=status:01,ok"});
    ASSERT_TRUE(sim.started());
    const std::string out = dir / "out";
    mkdir(out.c_str(), 0755);
    const std::string ours = ".b.bin.pairvault-partial.";
    const std::vector<std::string> kept = {".b.bin.261101", ours + "Linked", ours + "Live00",
                                           ours + "Others", ".b.bin.other"};
    for (const std::string& name :
         {ours + "K1lled", ours + "Linked", ours + "Live00", ours + "Others",
          std::string(".b.bin.261101"), std::string(".b.bin.other")})
        writeText(out + "/" + name, "partial network data");
    ASSERT_EQ(chown((out + "/" + ours + "Others").c_str(), 1000, 1000), 0);
    ASSERT_EQ(link((out + "/" + ours + "Linked").c_str(), (dir / "second-link").c_str()), 0);
    const int live = open((out + "/" + ours + "Live00").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(live, LOCK_EX), 0);

    BackgroundProcess run(pairvaultArgv(dir, sim.pty, {"-ohub", "-backup", out + "/b.bin"}),
                          kSanitizerEnv);
    std::vector<std::string> during;
    for (int i = 0; i < 3000 && during.empty(); ++i, usleep(10000))
        if (sim.record().find("RX 00 00 09") != std::string::npos)
            during = entries(out);
    std::string printed;
    for (std::string line; run.readLine(line, 90);)
        printed += line + "\n";
    const int status = run.stop();
    close(live);
    if (status == 77)
        GTEST_SKIP() << "the sandbox cannot run here";
    EXPECT_EQ(status, 1);
    EXPECT_EQ(printed, "SUCCESS\n");
    // Besides those that stay, this run's temporary file only.
    for (const auto& name : kept)
        std::erase(during, name);
    ASSERT_EQ(during.size(), 1u);
    EXPECT_EQ(during[0].size(), ours.size() + 6);
    EXPECT_EQ(during[0].substr(0, ours.size()), ours);
    auto after = kept;
    after.push_back("b.bin");
    std::sort(after.begin(), after.end());
    EXPECT_EQ(entries(out), after);
    EXPECT_EQ(readFile(out + "/b.bin"), withFill(table));
    EXPECT_NE(
        defaultLog(dir).find("removed " + ours + "K1lled, left by a backup that did not finish\n"),
        std::string::npos);
}

// The target is refused exactly where a plain open of it is refused, before any frame, and is
// left as it was.
TEST(PairvaultBackup, TargetsAPlainOpenRefusesAreRefusedBeforeAnyFrame) {
    TempDir dir;
    SimModule sim(dir, {});
    ASSERT_TRUE(sim.started());
    writeText(dir / "victim", "not yours");

    // With fs.protected_symlinks on, root may not follow a link that another user planted in
    // a sticky world-writable directory that user does not own.
    const std::string knob = "/proc/sys/fs/protected_symlinks";
    const std::string knobWas = readText(knob);
    const std::string link = dir / "sticky/x.bin";
    mkdir((dir / "sticky").c_str(), 0);
    chmod((dir / "sticky").c_str(), 01777);
    const bool planted = geteuid() == 0 && symlink((dir / "victim").c_str(), link.c_str()) == 0 &&
                         lchown(link.c_str(), 65534, 65534) == 0 && !knobWas.empty();
    if (planted)
        writeText(knob, "1");
    const bool protectedLinks = planted && readText(knob) == "1\n";

    struct Case {
        std::string target;
        std::string error; // the open's error text
    };
    std::vector<Case> cases = {{"", "No such file or directory"},
                               {dir / "missing/", "Is a directory"}};
    if (protectedLinks)
        cases.push_back({link, "Permission denied"});
    else
        std::printf("protected link not checked: needs root and a writable %s\n", knob.c_str());
    ProcessResult r;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        r = runPairvault(dir, sim.pty, {"-ohub", "-backup", c.target});
        if (r.exitCode == 77)
            break;
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "ERROR: cannot open " + c.target + "\n");
        EXPECT_EQ(lines(defaultLog(dir)).back(), "ERROR: " + c.error + ": " + c.target);
    }
    if (planted)
        writeText(knob, knobWas);
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_TRUE(sim.requests().empty());
    EXPECT_EQ(readText(dir / "victim"), "not yours");
    EXPECT_EQ(entries(dir / "sticky").size(), planted ? 1u : 0u);
}

// Where a rename cannot replace the target, the backup is received into memory and written
// into the target in place after a complete transfer, then read back; a failed transfer leaves
// it as it was. A FIFO gets each block as it arrives. Nothing else ever appears beside the
// target.
TEST(PairvaultBackup, TargetsARenameCannotReplaceAreWrittenInPlace) {
    TempDir dir;
    const auto table = writePattern(dir / "table", 300);
    // A file bind-mounted over <dir>/mnt/b.bin inside the run's own mount namespace: what
    // lands in it shows in <dir>/bound.bin.
    mkdir((dir / "mnt").c_str(), 0755);
    writeText(dir / "mnt/b.bin", "");
    const std::vector<std::string> bind = {"sh",
                                           "-c",
                                           "mount --bind \"$1\" \"$2\" && shift 2 && exec \"$@\"",
                                           "sh",
                                           dir / "bound.bin",
                                           dir / "mnt/b.bin"};
    // An append-only directory: a file in it can be written but not replaced or removed.
    mkdir((dir / "append").c_str(), 0755);
    writeText(dir / "append/b.bin", "");
    const bool appendOnly = runProcess({"chattr", "+a", dir / "append"}).exitCode == 0;
    if (!appendOnly)
        std::printf("append-only directory not checked: chattr +a fails here\n");

    // A reader draining a FIFO into <dir>/drained.bin for as long as the run lasts.
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    const std::vector<std::string> drain = {
        "sh", "-c",         "cat \"$1\" >\"$2\" & shift 2; \"$@\"; rc=$?; wait; exit $rc",
        "sh", dir / "fifo", dir / "drained.bin"};
    auto lying = bind;
    for (const auto& word : lyingMedium("b.bin", 300))
        lying.push_back(word);
    // The bound file on a 16 KiB tmpfs, holding a 4000-byte backup, with `fill` bytes beside
    // it; what it holds afterwards is copied to <dir>/small.bin.
    writeFile(dir / "old4000.bin", pattern(4000, 9));
    writePattern(dir / "big", 6000);
    const auto onSmallTmpfs = [&](const std::string& fill) {
        return std::vector<std::string>{
            "sh",
            "-c",
            "b=$1 && d=$1/small && mkdir -p $d && mount -t tmpfs -o size=16k zb $d && "
            "cp $b/old4000.bin $d/b.bin && head -c $2 /dev/zero >$d/fill && "
            "mount --bind $d/b.bin $b/mnt/b.bin && shift 2 && \"$@\"; rc=$?; "
            "cp $d/b.bin $b/small.bin; exit $rc",
            "sh",
            dir.path,
            fill};
    };

    struct Case {
        std::string target;
        std::string landsIn;
        std::vector<std::string> wrapper;
        bool fails;
        bool lies = false;    // stored right but read back wrong, or no room: no success
        std::string log = ""; // a line the run log must have
        std::string table = "table";
    };
    const std::string full = "ERROR: No space left on device: " + dir / "mnt/b.bin";
    const std::string memory =
        dir / "mnt/b.bin" + ": read back from memory: its file system has no medium to read from";
    std::vector<Case> cases = {
        {dir / "mnt/b.bin", dir / "bound.bin", bind, false},
        {dir / "mnt/b.bin", dir / "bound.bin", bind, true},
        {dir / "mnt/b.bin", dir / "bound.bin", lying, false, true},
        {dir / "fifo", dir / "drained.bin", drain, false},
        {dir / "mnt/b.bin", dir / "small.bin", onSmallTmpfs("12288"), false, true, full, "big"},
        {dir / "mnt/b.bin", dir / "small.bin", onSmallTmpfs("0"), false, false, memory, "big"}};
    if (appendOnly) {
        cases.push_back({dir / "append/b.bin", dir / "append/b.bin", {}, false});
        cases.push_back({dir / "append/b.bin", dir / "append/b.bin", {}, true});
    }
    ProcessResult r;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target + (c.fails ? " (transfer fails)" : ""));
        writeText(c.landsIn, "previous good backup");
        SimModule sim(dir, {"--table", dir / c.table, "--xm-cancel", c.fails ? "2" : "0"});
        ASSERT_TRUE(sim.started());
        r = runPairvault(dir, sim.pty, {"-ohub", "-backup", c.target}, {}, c.wrapper);
        if (r.exitCode == 77)
            break;
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_EQ(r.out, c.fails || c.lies ? "ERROR: fail to backup\n" : "SUCCESS\n");
        const std::string old =
            c.table == "big" ? readText(dir / "old4000.bin") : std::string("previous good backup");
        if (c.fails || c.lies) // the old backup, byte for byte
            EXPECT_TRUE(readText(c.landsIn) == old);
        else
            EXPECT_TRUE(readFile(c.landsIn) == withFill(readFile(dir / c.table), false));
        if (!c.log.empty()) {
            EXPECT_NE(defaultLog(dir).find(c.log + "\n"), std::string::npos) << defaultLog(dir);
        }
    }
    if (appendOnly)
        runProcess({"chattr", "-a", dir / "append"});
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(entries(dir / "mnt"), std::vector<std::string>{"b.bin"});
    EXPECT_EQ(readText(dir / "mnt/b.bin"), "");
    EXPECT_EQ(entries(dir / "append"), std::vector<std::string>{"b.bin"});
}
