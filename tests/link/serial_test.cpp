#include "link/serial.h"
#include "tests/support/pty_pair.h"
#include "tests/support/tempdir.h"

#include <chrono>
#include <ctime>
#include <gtest/gtest.h>
#include <poll.h>
#include <regex>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

struct SerialTest : testing::Test {
    TempDir dir;
    std::string logPath = dir / "run.log";
    PtyPair pty;
    void SetUp() override { ASSERT_EQ(openRunLog(logPath.c_str(), "prog", "T0"), 0); }
    void TearDown() override {
        closeSerial();
        closeRunLog();
    }
    std::string log() { return readText(logPath); }
};

TEST_F(SerialTest, RunLogHeaderAppendsAndFailureIsReportedOnStdout) {
    ASSERT_EQ(openRunLog(logPath.c_str(), "prog", "T1"), 0);
    EXPECT_EQ(log(), "prog: T0\nprog: T1\n");
    const mode_t mask = umask(0);
    umask(mask);
    struct stat st {};
    ASSERT_EQ(stat(logPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640 & ~mask); // it carries the gateway ID

    char when[START_TIME_SIZE];
    formatStartTime(std::time(nullptr), when, sizeof when);
    EXPECT_TRUE(std::regex_match(when, std::regex(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d \S+)")))
        << when;

    const std::string bad = dir / "missing/x.log";
    testing::internal::CaptureStdout();
    EXPECT_EQ(openRunLog(bad.c_str(), "prog", "T2"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "ERROR: cannot open log file\nERROR: No such file or directory: " + bad + "\n");

    testing::internal::CaptureStdout();
    ASSERT_EQ(openRunLog("stdout", "radioflash", "T3"), 0);
    errno = EIO;
    printError("write");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "radioflash: T3\nwrite: Input/output error\n");
}

TEST_F(SerialTest, RawModePassesEveryByteBothWaysAndTraces) {
    // Whatever another program left on the port.
    termios cooked{};
    tcgetattr(pty.slave, &cooked);
    cooked.c_iflag |= IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON |
                      IXOFF | IXANY | INPCK;
    cooked.c_oflag |= OPOST | ONLCR | OLCUC;
    cooked.c_lflag |= ICANON | ISIG | ECHO | ECHOE | ECHONL | IEXTEN;
    cooked.c_cflag = (cooked.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB | CSTOPB;
    tcsetattr(pty.slave, TCSANOW, &cooked);

    SERIAL_FD = Open_Serial(pty.slavePath.c_str());
    ASSERT_GE(SERIAL_FD, 0);
    EXPECT_EQ(SetComConf(SERIAL_FD), 1);
    // cfmakeraw's settings, no input flag it leaves (upper case, XON/XOFF, parity check) or
    // ECHOE, and the port's own: 115200, one stop bit, VTIME 8, VMIN 0.
    termios raw = cooked;
    cfmakeraw(&raw);
    raw.c_iflag &= ~static_cast<tcflag_t>(IUCLC | IXOFF | IXANY | INPCK);
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHOE);
    termios set{};
    tcgetattr(SERIAL_FD, &set);
    EXPECT_EQ(set.c_iflag, raw.c_iflag);
    EXPECT_EQ(set.c_oflag, raw.c_oflag);
    EXPECT_EQ(set.c_lflag, raw.c_lflag);
    EXPECT_EQ(set.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
              CS8 | CLOCAL | CREAD);
    EXPECT_EQ(cfgetispeed(&set), B115200);
    EXPECT_EQ(cfgetospeed(&set), B115200);
    EXPECT_EQ(set.c_cc[VTIME], 8);
    EXPECT_EQ(set.c_cc[VMIN], 0);

    std::uint8_t buf[UART_RECV_SIZE];
    EXPECT_EQ(Uart_Recv(SERIAL_FD, buf, "R"), -1); // nothing has arrived yet

    const Bytes data{0x0d, 0x0a, 0x11, 0x13, 0x03, 0x1a, 0x7f, 0x00, 0xff};
    ASSERT_EQ(Uart_Send(SERIAL_FD, data.data(), data.size(), "Cmd"), 1);
    EXPECT_EQ(readBytes(pty.master, data.size()), data);
    EXPECT_EQ(Uart_Send(SERIAL_FD, nullptr, 0, "Empty"), 1);

    ASSERT_EQ(write(pty.master, data.data(), data.size()), ssize_t(data.size()));
    pollfd ready{SERIAL_FD, POLLIN, 0};
    poll(&ready, 1, 2000);
    ASSERT_EQ(Uart_Recv(SERIAL_FD, buf, "Cmd"), int(data.size()));
    EXPECT_EQ(Bytes(buf, buf + data.size()), data);
    EXPECT_TRUE(readBytes(pty.master, 1, 200).empty()) << "echo left on";

    const std::string trace = "Cmd: 0d 0a 11 13 03 1a 7f 00 ff \n";
    EXPECT_EQ(log(), "prog: T0\nSend " + trace + "Send Empty: \nReceive " + trace);
}

TEST_F(SerialTest, SecondOpenOfALockedPortFails) {
    const int first = Open_Serial(pty.slavePath.c_str());
    ASSERT_GE(first, 0);
    EXPECT_EQ(Open_Serial(pty.slavePath.c_str()), -1);
    EXPECT_EQ(Open_Serial((dir / "none").c_str()), -1);
    close(first);
    const int again = Open_Serial(pty.slavePath.c_str());
    EXPECT_GE(again, 0);
    close(again);
    EXPECT_EQ(log(), "prog: T0\nflock: Resource temporarily unavailable\n"
                     "open: No such file or directory\n");
}

TEST_F(SerialTest, InbyteTimesOutOnSilenceAndReturnsAByteAsSoonAsItComes) {
    SERIAL_FD = Open_Serial(pty.slavePath.c_str());
    for (const std::uint16_t units : {std::uint16_t{1}, std::uint16_t{2}}) {
        const auto start = Clock::now();
        EXPECT_EQ(_inbyte(units), -1);
        EXPECT_GT(since(start), 0.75 * units);
        EXPECT_LT(since(start), 0.8 * units + 2.0);
    }
    EXPECT_EQ(log(), "prog: T0\ninbyte failed 16 times\ninbyte failed 32 times\n");

    std::thread module([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const std::uint8_t c = 0x0d;
        EXPECT_EQ(write(pty.master, &c, 1), 1);
    });
    const auto start = Clock::now();
    EXPECT_EQ(_inbyte(20), 0x0d);
    EXPECT_LT(since(start), 10.0); // well inside the 16 s a silent line would take
    module.join();
    EXPECT_EQ(_outbyte(0x11), 1);
    EXPECT_EQ(readBytes(pty.master, 1), Bytes{0x11});
}

TEST_F(SerialTest, InbyteOnAHungUpLineWaitsWithoutSpinning) {
    SERIAL_FD = Open_Serial(pty.slavePath.c_str());
    close(pty.master);
    pty.master = -1;
    const std::clock_t cpu = std::clock();
    const auto start = Clock::now();
    EXPECT_EQ(_inbyte(1), -1);
    EXPECT_GT(since(start), 0.75);
    EXPECT_LT(double(std::clock() - cpu) / CLOCKS_PER_SEC, 0.3);
}

} // namespace
