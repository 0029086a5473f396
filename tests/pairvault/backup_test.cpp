// Backup mode, end to end: the file ends up byte for byte as the module sent it, and a backup
// that fails leaves whatever stood at the path before untouched.
#include "tests/pairvault/harness.h"
#include "tests/support/data.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

namespace {

mode_t modeOf(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

} // namespace

TEST(PairvaultBackup, SuccessIsByteExactAndKeepsModesAndLinks) {
    TempDir dir;
    const auto table = writePattern(dir / "table", 300);
    SimModule sim(dir, {"--table", dir / "table"});
    ASSERT_TRUE(sim.started());
    umask(022);
    const std::string out = dir / "out";
    mkdir(out.c_str(), 0755);

    // A new file.
    auto r = runPairvault(dir, sim.pty, {"-ohub", "-backup", out + "/b.bin"});
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.out, "SUCCESS\n");
    EXPECT_EQ(readFile(out + "/b.bin"), withFill(table));
    EXPECT_EQ(modeOf(out + "/b.bin"), 0644u);
    const auto log = lines(withoutHeader(defaultLog(dir)));
    ASSERT_GE(log.size(), 6u);
    EXPECT_EQ(log[1], "Preparing to backup device /dev/ttyS4...");
    EXPECT_EQ(log[2], "backup filename: " + out + "/b.bin");
    EXPECT_EQ(log[3], "Send Backup Command: 00 00 09 00 00 aa ");
    EXPECT_EQ(log[4], "Receive Backup Command: 00 01 09 08 01 00 aa ");
    EXPECT_EQ(log.back(), "result = 384 (success)");

    // An existing file keeps its mode; a symbolic link keeps pointing at the new content.
    writeText(out + "/b.bin", "old");
    chmod((out + "/b.bin").c_str(), 0600);
    ASSERT_EQ(symlink("b.bin", (out + "/link").c_str()), 0);
    r = runPairvault(dir, sim.pty, {"-ohub", "-backup", out + "/link"});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.out, "SUCCESS\n");
    EXPECT_EQ(readFile(out + "/b.bin"), withFill(table));
    EXPECT_EQ(modeOf(out + "/b.bin"), 0600u);
    struct stat st {};
    ASSERT_EQ(lstat((out + "/link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(entries(out), (std::vector<std::string>{"b.bin", "link"}));
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

    // The transfer breaks off after the first block, over an old file and into a new one.
    for (const std::string name : {"old.bin", "new.bin"}) {
        SimModule sim(dir, {"--xm-cancel", "2"});
        ASSERT_TRUE(sim.started());
        const auto r = runPairvault(dir, sim.pty, {"-ohub", "-backup", out + "/" + name});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "ERROR: fail to backup\n");
        EXPECT_EQ(lines(defaultLog(dir)).back(), "result = -1 (canceled by remote)");
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

    // A device is written in place; data that cannot be stored is no backup.
    const auto full = runPairvault(dir, sim.pty, {"-backup", "/dev/full", "-ohub"});
    EXPECT_EQ(full.exitCode, 1);
    EXPECT_EQ(full.out, "ERROR: fail to backup\n");
    EXPECT_NE(defaultLog(dir).find("No space left on device"), std::string::npos);
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
// into the target in place after a complete transfer; a failed transfer leaves it as it was.
// Nothing else ever appears beside the target.
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

    struct Case {
        std::string target;
        std::string landsIn;
        std::vector<std::string> wrapper;
        bool fails;
    };
    std::vector<Case> cases = {{dir / "mnt/b.bin", dir / "bound.bin", bind, false},
                               {dir / "mnt/b.bin", dir / "bound.bin", bind, true}};
    if (appendOnly) {
        cases.push_back({dir / "append/b.bin", dir / "append/b.bin", {}, false});
        cases.push_back({dir / "append/b.bin", dir / "append/b.bin", {}, true});
    }
    ProcessResult r;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target + (c.fails ? " (transfer fails)" : ""));
        writeText(c.landsIn, "previous good backup");
        SimModule sim(dir, {"--table", dir / "table", "--xm-cancel", c.fails ? "2" : "0"});
        ASSERT_TRUE(sim.started());
        r = runPairvault(dir, sim.pty, {"-ohub", "-backup", c.target}, {}, c.wrapper);
        if (r.exitCode == 77)
            break;
        EXPECT_EQ(r.exitCode, 1) << r.err;
        if (c.fails) {
            EXPECT_EQ(r.out, "ERROR: fail to backup\n");
            EXPECT_EQ(readText(c.landsIn), "previous good backup");
        } else {
            EXPECT_EQ(r.out, "SUCCESS\n");
            EXPECT_EQ(readFile(c.landsIn), withFill(table));
        }
    }
    if (appendOnly)
        runProcess({"chattr", "-a", dir / "append"});
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(entries(dir / "mnt"), std::vector<std::string>{"b.bin"});
    EXPECT_EQ(readText(dir / "mnt/b.bin"), "");
    EXPECT_EQ(entries(dir / "append"), std::vector<std::string>{"b.bin"});
}
