// The port as another program may leave it, and as each run must leave it.
//
// Before every run the port is set the way a terminal program or a careless stty leaves it
// (input stripped to 7 bits, CR dropped or turned into NL, upper case folded, parity marks,
// XON/XOFF, canonical mode, echo, signals, output post-processing), and the data holds every
// byte value: the run must still be byte-exact in both directions.
//
// The serial flags shim plays the adapter driver's TIOCGSERIAL/TIOCSSERIAL on the test line and
// records what the run does with them: the low-latency flag must be in force before the first
// frame and the flags must be back as found when the program has ended, whatever the outcome.
#include "tests/faults/fault_line.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/serial.h>
#include <sstream>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr double RUN_LIMIT_S = 120;
constexpr int LOW_LATENCY = static_cast<int>(ASYNC_LOW_LATENCY);
// Other user-settable flags a port may carry; they must come back untouched.
constexpr int OTHER_FLAGS = static_cast<int>(ASYNC_SPD_HI | ASYNC_SKIP_TEST);

struct PortCase {
    const char* name;
    const char* program;
    std::vector<std::string> args; // "@data" is the data file, "@out" the backup file
    std::vector<std::string> simOptions;
    int flagsFound;
    int exitCode;
    const char* out;
    const char* resultFile; // where the data must land (none when null), with its fill
    bool extraBlock;        // as withFill() takes it
    bool sends = true;      // whether the run gets as far as sending a frame
};

const PortCase CASES[] = {
    {"Backup", "pairvault", {"-backup", "@out"}, {}, 0, 1, "SUCCESS\n", "backup.bin", false},
    {"Restore",
     "pairvault",
     {"-restore", "@data"},
     {},
     OTHER_FLAGS,
     1,
     "SUCCESS\n",
     "table.bin",
     true},
    {"Update", "radioflash", {"-f", "@data"}, {}, 0, 0, "SUCCESS\n", "image.bin", true},
    {"VersionQuery", "radioflash", {"-currentversion"}, {}, 0, 1, "1.2.3.4\n", nullptr, false},
    {"AlreadyLowLatency",
     "pairvault",
     {"-backup", "@out"},
     {},
     LOW_LATENCY | OTHER_FLAGS,
     1,
     "SUCCESS\n",
     "backup.bin",
     false},
    {"BackupFromASilentModule",
     "pairvault",
     {"-backup", "@out"},
     {"--reply", "09=silent"},
     0,
     1,
     "ERROR: cannot access port\n",
     nullptr,
     false},
    {"RefusedReboot",
     "pairvault",
     {"-reboot"},
     {"--reply", "06=status:01"},
     0,
     254,
     "ERROR\n",
     nullptr,
     false},
    {"MissingRestoreFile",
     "pairvault",
     {"-restore", "@missing"},
     {},
     OTHER_FLAGS,
     255,
     nullptr,
     nullptr,
     false,
     false},
    {"VersionFromASilentModule",
     "radioflash",
     {"-currentversion"},
     {"--reply", "01=silent"},
     0,
     255,
     "ERROR\n",
     nullptr,
     false},
    {"UpdateWithASilentModule",
     "radioflash",
     {"-f", "@data"},
     {"--reply", "e0=silent"},
     0,
     255,
     "ERROR: cannot access port\n",
     nullptr,
     false},
};

// Every byte value, then pseudo-random bytes: CR, LF, XON/XOFF, DEL, 0xFF, 0xAA and the
// high half are all in there.
std::vector<std::uint8_t> everyByteValue() {
    std::vector<std::uint8_t> data(256);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i);
    const auto more = pattern(700, 17);
    data.insert(data.end(), more.begin(), more.end());
    return data;
}

// What another program may leave on the port.
void leaveHostile(const std::string& port) {
    const int fd = open(port.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    t.c_iflag |= IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON | IXOFF |
                 IXANY | INPCK;
    t.c_oflag |= OPOST | ONLCR | OCRNL | OLCUC;
    t.c_lflag |= ECHO | ECHOE | ECHONL | ICANON | ISIG | IEXTEN;
    t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB | PARODD | CSTOPB;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    close(fd);
}

int readFlags(const std::string& path) {
    int flags = -1;
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd >= 0 && read(fd, &flags, sizeof flags) != static_cast<ssize_t>(sizeof flags))
        flags = -1;
    if (fd >= 0)
        close(fd);
    return flags;
}

void writeFlags(const std::string& path, int flags) {
    writeFile(path, std::vector<std::uint8_t>(reinterpret_cast<const std::uint8_t*>(&flags),
                                              reinterpret_cast<const std::uint8_t*>(&flags + 1)));
}

void PrintTo(const PortCase& c, std::ostream* os) {
    *os << c.name;
}

class PortState : public testing::TestWithParam<PortCase> {};

TEST_P(PortState, EveryByteGetsThroughAndTheFlagsComeBack) {
    const PortCase& c = GetParam();
    const auto data = everyByteValue();
    Bench b(c.simOptions, data, true);
    ASSERT_TRUE(b.ok());
    const TempDir& dir = b.dir;
    const FaultyLine& line = b.line;
    writeFile(dir / "data.bin", data);
    const std::string flags = dir / "flags";
    writeFlags(flags, c.flagsFound);
    leaveHostile(line.hostPath());

    std::vector<std::string> args;
    for (const std::string& a : c.args)
        args.push_back(a == "@data"      ? dir / "data.bin"
                       : a == "@out"     ? dir / "backup.bin"
                       : a == "@missing" ? dir / "missing.bin"
                                         : a);
    args.push_back("-ohub");
    const ToolRun run = runTool(
        c.program, dir, line.hostPath(), args, RUN_LIMIT_S, {}, {},
        {std::string("LD_PRELOAD=") + SERIAL_FLAGS_SHIM_PATH, "SERIAL_FLAGS_SHIM=" + flags});
    SKIP_WITHOUT_SANDBOX(run);

    EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
    if (c.out != nullptr) {
        EXPECT_EQ(run.out, c.out);
    }
    EXPECT_FALSE(run.sanitizerReport()) << run.err;
    if (c.resultFile != nullptr) {
        EXPECT_EQ(readFile(dir / c.resultFile), withFill(data, c.extraBlock));
    }

    // "set <flags>" for each change, "write <flags>" for the first frame under each setting.
    const std::string events = readText(flags + ".events");
    int writes = 0;
    int sets = 0;
    std::istringstream in(events);
    for (std::string e; std::getline(in, e);) {
        unsigned value = 0;
        char kind[16] = "";
        ASSERT_EQ(std::sscanf(e.c_str(), "%15s %x", kind, &value), 2) << e;
        const int v = static_cast<int>(value);
        EXPECT_EQ(e.find("other-fields"), std::string::npos) << "only the flags may change";
        if (std::string(kind) == "write") {
            ++writes;
            EXPECT_EQ(v, c.flagsFound | LOW_LATENCY) << "a frame went out without low latency";
        } else {
            ++sets;
            EXPECT_TRUE(v == c.flagsFound || v == (c.flagsFound | LOW_LATENCY)) << e;
        }
    }
    EXPECT_EQ(writes > 0, c.sends) << events;
    if ((c.flagsFound & LOW_LATENCY) != 0) {
        EXPECT_EQ(sets, 0) << "a flag that was set is left alone: " << events;
    } else {
        EXPECT_GT(sets, 0) << events;
    }
    EXPECT_EQ(readFlags(flags), c.flagsFound) << "the flags must be back as found: " << events;
}

INSTANTIATE_TEST_SUITE_P(Modes, PortState, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<PortCase>& p) {
                             return std::string(p.param.name);
                         });

} // namespace
