#include "link/frames.h"
#include "link/serial.h"
#include "tests/support/pty_pair.h"
#include "tests/support/tempdir.h"

#include <array>
#include <chrono>
#include <gtest/gtest.h>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(Frames, BuildFrameLayout) {
    std::array<std::uint8_t, 14> out{};
    const std::array<std::uint8_t, 8> id{1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(buildFrame(CMD_FACTORY_RESET, id, out), 14u);
    EXPECT_EQ(out, (std::array<std::uint8_t, 14>{0, 0, 7, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8, 0xAA}));
    ASSERT_EQ(buildFrame(CMD_REBOOT, {}, out), 6u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 6), (Bytes{0, 0, 6, 0, 0, 0xAA}));
    EXPECT_EQ(buildFrame(CMD_REBOOT, id, std::span(out).first(13)), 0u); // too small: refused
}

struct CommandTest : testing::Test {
    TempDir dir;
    PtyPair pty;
    int result = 0;
    double seconds = 0;
    Bytes sent; // every request byte the module received
    void SetUp() override {
        ASSERT_EQ(openRunLog((dir / "log").c_str(), "pairvault", "T"), 0);
        SERIAL_FD = Open_Serial(pty.slavePath.c_str());
        ASSERT_GE(SERIAL_FD, 0);
    }
    void TearDown() override {
        closeSerial();
        closeRunLog();
    }
    bool take(std::size_t n, int ms) {
        pollfd p{pty.master, POLLIN, 0};
        for (std::uint8_t b; n > 0 && poll(&p, 1, ms) > 0 && read(pty.master, &b, 1) == 1; --n)
            sent.push_back(b);
        return n == 0;
    }
    // Plays the module: each 6-byte request gets the next reply (an empty one means silence).
    void exchange(std::uint8_t code, std::vector<Bytes> replies, const char* label = "Cmd") {
        std::thread module([&] {
            for (const Bytes& reply : replies) {
                if (take(6, 5000) && !reply.empty()) {
                    ASSERT_EQ(write(pty.master, reply.data(), reply.size()), ssize_t(reply.size()));
                }
            }
        });
        const auto start = std::chrono::steady_clock::now();
        result = sendControlCommand(code, label);
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        module.join();
        take(1000, 100); // requests nobody answered
    }
    std::string log() { return readText(dir / "log"); }
};

TEST_F(CommandTest, AcceptedAtTheFirstReplyWithTraces) {
    exchange(CMD_REBOOT, {{0x00, 0x01, 0x06, 0x08, 0x01, 0x00, 0xAA}}, "Reboot Command");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(sent, (Bytes{0, 0, 6, 0, 0, 0xAA}));
    EXPECT_GT(seconds, 0.9);
    EXPECT_EQ(log(), "pairvault: T\nSend Reboot Command: 00 00 06 00 00 aa \n"
                     "Receive Reboot Command: 00 01 06 08 01 00 aa \n");
}

TEST_F(CommandTest, OnlyBytesTwoToSixAreJudgedAndTheBufferKeepsOldBytes) {
    exchange(CMD_BACKUP, {{0xFF, 0xEE, 0x09, 0x08, 0x01, 0x00, 0xAA}});
    EXPECT_EQ(result, 1);
    // A refused 7-byte reply, then a 6-byte one that lacks its end: the end byte left from the
    // first reply completes it.
    sent.clear();
    exchange(CMD_RESTORE, {{0, 1, 0x0A, 0x08, 0x01, 0x01, 0xAA}, {0, 1, 0x0A, 0x08, 0x01, 0x00}});
    EXPECT_EQ(result, 1);
    EXPECT_EQ(sent.size(), 12u);
}

} // namespace
