// The sender against the simulated module's receiver, or against bytes scripted by hand where
// the exact line bytes matter.
#include "sim/xmodem_peer.h"
#include "tests/support/xmodem_rig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>

namespace {

std::future<PeerResult> startReceiver(int fd, PeerOptions opt) {
    return std::async(std::launch::async, [fd, opt] { return peerReceive(fd, opt); });
}

// What one transfer of `data` to the simulated receiver playing with `opt` came to.
struct Sent {
    std::int32_t result; // the sender's
    PeerResult got;      // the receiver's
    std::string log;     // the sender's run log
};
Sent sendTo(const std::vector<std::uint8_t>& data, const PeerOptions& opt) {
    EngineRig rig;
    auto peer = startReceiver(rig.pty.master, opt);
    const std::int32_t result = xmodemTransmit(data.data(), static_cast<std::int32_t>(data.size()));
    PeerResult got = peer.get();
    return {result, std::move(got), rig.log()};
}

std::vector<std::pair<std::int64_t, std::int64_t>> progressCalls;
void recordProgress(std::int64_t done, std::int64_t total) {
    progressCalls.emplace_back(done, total);
}

TEST(XmodemSend, SizesFillAndResults) {
    for (std::size_t size : {0U, 1U, 127U, 128U, 300U}) {
        for (auto start : {PeerOptions::Start::Crc, PeerOptions::Start::Checksum}) {
            const auto data = pattern(size);
            PeerOptions opt;
            opt.start = start;
            progressCalls.clear();
            xmodemProgress = recordProgress;
            const Sent s = sendTo(data, opt);
            xmodemProgress = nullptr;
            const auto expected = withFill(data);
            EXPECT_EQ(s.result, static_cast<std::int32_t>(expected.size())) << size;
            EXPECT_EQ(s.got.status, s.result);
            EXPECT_EQ(s.got.data, expected) << size;
            ASSERT_EQ(progressCalls.size(), expected.size() / 128);
            EXPECT_EQ(progressCalls.back(),
                      std::make_pair(std::int64_t(expected.size()), std::int64_t(size)));
        }
    }
}

// The exact bytes of a block in each mode, as the receiver's request chooses.
TEST(XmodemSend, BlockLayoutPerMode) {
    for (bool crc : {true, false}) {
        EngineRig rig;
        const std::vector<std::uint8_t> data = pattern(44);
        auto line = std::async(std::launch::async, [&] {
            writeRaw(rig.pty.master, {crc ? std::uint8_t{'C'} : std::uint8_t{0x15}});
            auto block = readBytes(rig.pty.master, crc ? 133 : 132);
            // Nothing more may follow before the answer.
            const int extra = readByteWithin(rig.pty.master, 300);
            writeRaw(rig.pty.master, {0x06});
            auto eot = readBytes(rig.pty.master, 1);
            writeRaw(rig.pty.master, {0x06});
            block.push_back(static_cast<std::uint8_t>(extra));
            block.insert(block.end(), eot.begin(), eot.end());
            return block;
        });
        EXPECT_EQ(xmodemTransmit(data.data(), 44), 128);
        auto expected = handBlock(1, withFill(data), crc);
        expected.push_back(0xFF); // no extra byte (-1)
        expected.push_back(0x04);
        EXPECT_EQ(line.get(), expected) << (crc ? "crc" : "checksum");
    }
}

// More than 255 blocks: numbering wraps 255 -> 0 and the receiver keeps every byte in order.
TEST(XmodemSend, BlockNumbersWrap) {
    const auto data = pattern(300 * 128 + 5);
    const Sent s = sendTo(data, {});
    EXPECT_EQ(s.result, 301 * 128);
    EXPECT_EQ(s.got.data, withFill(data));
    EXPECT_EQ(countEvents(s.got, "rx block 0 (128, new)"), 1);
    EXPECT_EQ(countEvents(s.got, "rx block 255 (128, new)"), 1);
}

// A block answered only by NAK goes out five times; then the receiver sees exactly three CANs.
TEST(XmodemSend, NakEveryBlockGivesUp) {
    PeerOptions opt;
    opt.nakAll = true;
    const Sent s = sendTo(pattern(200), opt);
    EXPECT_EQ(s.result, -4);
    EXPECT_EQ(countEvents(s.got, "rx block 1 "), 5);
    EXPECT_EQ(countEvents(s.got, "rx block 2 "), 0);
    EXPECT_EQ(countEvents(s.got, "rx cancel: 18 18 18"), 1);
    EXPECT_EQ(s.got.events.back(), "end -1");
}

// CAN CAN from the receiver, before the start or as a block's answer: exactly one ACK back.
TEST(XmodemSend, RemoteCancel) {
    {
        PeerOptions opt;
        opt.cancelAt = 2;
        const Sent s = sendTo(pattern(1000), opt);
        EXPECT_EQ(s.result, -1);
        const auto& events = s.got.events;
        EXPECT_EQ(countEvents(s.got, "rx after cancel: 06"), 1);
        EXPECT_EQ(std::find(events.begin(), events.end(), "rx after cancel: 06") - events.begin(),
                  static_cast<long>(events.size()) - 2);
    }
    {
        EngineRig rig;
        auto line = std::async(std::launch::async, [&] {
            writeRaw(rig.pty.master, {0x18, 0x18});
            return readUntilQuiet(rig.pty.master, 500);
        });
        const auto data = pattern(10);
        EXPECT_EQ(xmodemTransmit(data.data(), 10), -1);
        EXPECT_EQ(line.get(), std::vector<std::uint8_t>{0x06});
    }
}

// A lone CAN and the byte behind it cost one send; the block then goes through.
TEST(XmodemSend, LoneCanIsDropped) {
    PeerOptions opt;
    opt.canJunkAt = 2;
    const auto data = pattern(400);
    const Sent s = sendTo(data, opt);
    EXPECT_EQ(s.result, 512);
    EXPECT_EQ(s.got.data, withFill(data));
    EXPECT_EQ(countEvents(s.got, "rx block 2 "), 2);
}

// An extra ACK left on the line must not count as the answer to the next block; a NAKed last
// block must still be sent again before the EOT.
TEST(XmodemSend, DuplicatedAckAndNakedLastBlock) {
    PeerOptions opt;
    opt.dupAckAt = 2;
    opt.nakFirstAt = 4;
    const auto data = pattern(3 * 128 + 77);
    const Sent s = sendTo(data, opt);
    EXPECT_EQ(s.result, 512);
    EXPECT_EQ(s.got.status, 512);
    EXPECT_EQ(s.got.data, withFill(data));
}

TEST(XmodemSend, EotNeverAcknowledged) {
    PeerOptions opt;
    opt.noEotAck = true;
    opt.timeoutMs = 3000;
    const auto data = pattern(130);
    const Sent s = sendTo(data, opt);
    EXPECT_EQ(s.result, -5);
    EXPECT_EQ(countEvents(s.got, "rx EOT"), 5);
    EXPECT_EQ(s.got.data, withFill(data));
    EXPECT_EQ(countLines(s.log, "inbyte failed 32 times"), 5);
}

// Nobody asks for a start: 15 waits of about 1.6 s, then exactly CAN CAN CAN.
TEST(XmodemSend, SilentReceiver) {
    EngineRig rig;
    std::atomic<bool> done{false};
    auto line = recordLine(rig.pty.master, done);
    const auto data = pattern(10);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(xmodemTransmit(data.data(), 10), -2);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    done = true;
    EXPECT_EQ(line.get(), (std::vector<std::uint8_t>{0x18, 0x18, 0x18}));
    EXPECT_GT(seconds, 20.0);
    EXPECT_LT(seconds, 40.0);
    EXPECT_EQ(countLines(rig.log(), "inbyte failed 32 times"), 15);
}

} // namespace
