// The receiver against the simulated module's sender, or against bytes scripted by hand where
// the exact line bytes matter.
#include "sim/xmodem_peer.h"
#include "tests/support/xmodem_rig.h"

#include <gtest/gtest.h>

#include <future>

namespace {

std::future<PeerResult> startSender(int fd, std::vector<std::uint8_t> data, PeerOptions opt) {
    return std::async(std::launch::async,
                      [fd, d = std::move(data), opt] { return peerSend(fd, d, opt); });
}

// What the module's sender puts into the file: the data, then SUB and zeros to the block end.
std::vector<std::uint8_t> sentWithFill(const std::vector<std::uint8_t>& data,
                                       const std::vector<int>& blockSizes) {
    std::vector<std::uint8_t> out = data;
    std::size_t total = 0;
    for (int s : blockSizes)
        total += static_cast<std::size_t>(s);
    if (total > data.size()) {
        out.push_back(0x1A);
        out.resize(total, 0);
    }
    return out;
}

struct Received {
    std::int32_t result = 0;
    std::vector<std::uint8_t> file;
    PeerResult peer;
};

Received receiveFrom(EngineRig& rig, const std::vector<std::uint8_t>& data, PeerOptions opt) {
    auto peer = startSender(rig.pty.master, data, opt);
    const std::string path = rig.dir / "backup.bin";
    FILE* out = std::fopen(path.c_str(), "wb");
    Received r;
    r.result = xmodemReceive(out);
    std::fclose(out);
    r.peer = peer.get();
    r.file = readFile(path);
    return r;
}

TEST(XmodemReceive, BlockSizesAndModes) {
    struct Case {
        PeerOptions::Blocks blocks;
        PeerOptions::Start start;
        std::size_t size;
        std::vector<int> sizes;
    };
    const std::vector<Case> cases = {
        {PeerOptions::Blocks::Small, PeerOptions::Start::Crc, 300, {128, 128, 128}},
        {PeerOptions::Blocks::Small, PeerOptions::Start::Crc, 256, {128, 128}},
        {PeerOptions::Blocks::Large, PeerOptions::Start::Crc, 2100, {1024, 1024, 128}},
        {PeerOptions::Blocks::Mixed,
         PeerOptions::Start::Crc,
         3000,
         {1024, 128, 1024, 128, 128, 128, 128, 128, 128, 128}},
    };
    for (const auto& c : cases) {
        EngineRig rig;
        PeerOptions opt;
        opt.blocks = c.blocks;
        opt.start = c.start;
        const auto data = pattern(c.size);
        const Received r = receiveFrom(rig, data, opt);
        const auto expected = sentWithFill(data, c.sizes);
        EXPECT_EQ(r.result, static_cast<std::int32_t>(expected.size())) << c.size;
        EXPECT_EQ(r.file, expected) << c.size;
        EXPECT_EQ(r.peer.status, r.result);
        EXPECT_EQ(countEvents(r.peer, "mode crc"), 1);
    }
}

// More than 255 blocks: after 255 comes 0, and nothing is lost or written twice.
TEST(XmodemReceive, BlockNumbersWrap) {
    EngineRig rig;
    PeerOptions opt;
    opt.repeatAt = 256; // block number 0 sent twice right after the wrap
    const auto data = pattern(300 * 128);
    const Received r = receiveFrom(rig, data, opt);
    EXPECT_EQ(r.result, 300 * 128);
    EXPECT_EQ(r.file, data);
}

// A sender that ignores "C" starts on the first NAK, after the 16 "C" requests: checksum mode.
TEST(XmodemReceive, IgnoredCrcRequestFallsBackToChecksum) {
    EngineRig rig;
    PeerOptions opt;
    opt.start = PeerOptions::Start::IgnoreC;
    opt.timeoutMs = 40000;
    const auto data = pattern(200);
    const Received r = receiveFrom(rig, data, opt);
    EXPECT_EQ(r.result, 256);
    EXPECT_EQ(r.file, sentWithFill(data, {128, 128}));
    EXPECT_EQ(countEvents(r.peer, "rx C"), 16);
    EXPECT_EQ(countEvents(r.peer, "mode checksum"), 1);
    EXPECT_EQ(countLines(rig.log(), "inbyte failed 32 times"), 16);
}

TEST(XmodemReceive, EotFirst) {
    EngineRig rig;
    PeerOptions opt;
    opt.eotFirst = true;
    const Received r = receiveFrom(rig, pattern(100), opt);
    EXPECT_EQ(r.result, 0);
    EXPECT_TRUE(r.file.empty());
    EXPECT_EQ(r.peer.status, 0); // the EOT was acknowledged
}

// Repeats (a lost ACK, or block 0 at the very start) are acknowledged and never written.
TEST(XmodemReceive, RepeatsAcknowledgedNotWritten) {
    EngineRig rig;
    PeerOptions opt;
    opt.zeroBlockFirst = true;
    opt.repeatAt = 2;
    opt.repeatCount = 3;
    const auto data = pattern(500);
    const Received r = receiveFrom(rig, data, opt);
    EXPECT_EQ(r.result, 512);
    EXPECT_EQ(r.file, sentWithFill(data, {128, 128, 128, 128}));
    EXPECT_EQ(r.peer.status, 512);
}

// The 25th repeat in a row is answered with exactly CAN CAN CAN, not ACK.
TEST(XmodemReceive, TooManyRepeats) {
    EngineRig rig;
    PeerOptions opt;
    opt.repeatAt = 1;
    opt.repeatCount = 30;
    const auto data = pattern(300);
    const Received r = receiveFrom(rig, data, opt);
    EXPECT_EQ(r.result, -3);
    EXPECT_EQ(r.file, std::vector<std::uint8_t>(data.begin(), data.begin() + 128));
    EXPECT_EQ(countEvents(r.peer, "repeat"), 25);
    EXPECT_EQ(countEvents(r.peer, "rx ACK"), 1 + 24);
    EXPECT_EQ(countEvents(r.peer, "rx cancel: 18 18 18"), 1);
}

TEST(XmodemReceive, DamagedBlocksNakedThenTaken) {
    for (int fault = 0; fault < 4; ++fault) {
        EngineRig rig;
        PeerOptions opt;
        opt.blocks = PeerOptions::Blocks::Mixed;
        if (fault == 0)
            opt.badComplementAt = 2;
        else if (fault == 1)
            opt.badNumberAt = 2;
        else if (fault == 2)
            opt.badCheckAt = 1;
        else
            opt.canJunkAt = 2;
        const auto data = pattern(1500);
        const Received r = receiveFrom(rig, data, opt);
        EXPECT_EQ(r.result, 1024 + 128 + 128 + 128 + 128) << fault;
        EXPECT_EQ(r.file, sentWithFill(data, {1024, 128, 128, 128, 128})) << fault;
        if (fault < 3) {
            EXPECT_EQ(countEvents(r.peer, "rx NAK"), 1) << fault;
        }
    }
}

TEST(XmodemReceive, RemoteCancelGetsExactlyAck) {
    EngineRig rig;
    PeerOptions opt;
    opt.cancelAt = 2;
    const auto data = pattern(500);
    const Received r = receiveFrom(rig, data, opt);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.file.size(), 128U); // what came before the cancel stays
    EXPECT_EQ(countEvents(r.peer, "rx after cancel: 06"), 1);
    EXPECT_EQ(r.peer.events.at(r.peer.events.size() - 2), "rx after cancel: 06");
}

// A gap of more than about 0.8 s inside a block: NAK at that point, and a clean resend works.
TEST(XmodemReceive, StallInsideBlock) {
    EngineRig rig;
    const auto payload = pattern(128);
    const auto block = handBlock(1, payload, true);
    auto line = std::async(std::launch::async, [&] {
        std::vector<int> seen;
        seen.push_back(readByteWithin(rig.pty.master, 3000)); // "C"
        writeRaw(rig.pty.master, std::vector<std::uint8_t>(block.begin(), block.begin() + 20));
        seen.push_back(readByteWithin(rig.pty.master, 3000)); // NAK after the stall
        writeRaw(rig.pty.master, block);
        seen.push_back(readByteWithin(rig.pty.master, 3000)); // ACK
        writeRaw(rig.pty.master, {0x04});
        seen.push_back(readByteWithin(rig.pty.master, 3000)); // ACK
        return seen;
    });
    const std::string path = rig.dir / "out.bin";
    FILE* out = std::fopen(path.c_str(), "wb");
    const std::int32_t result = xmodemReceive(out);
    std::fclose(out);
    EXPECT_EQ(result, 128);
    EXPECT_EQ(line.get(), (std::vector<int>{'C', 0x15, 0x06, 0x06}));
    EXPECT_EQ(readFile(path), payload);
    EXPECT_EQ(countLines(rig.log(), "inbyte failed 16 times"), 1);
}

// A stream that cannot take the block: logged, -1, and the block is answered by a cancel.
TEST(XmodemReceive, ShortFileWrite) {
    EngineRig rig;
    FILE* out = std::fopen("/dev/full", "wb");
    ASSERT_NE(out, nullptr);
    std::setvbuf(out, nullptr, _IONBF, 0);
    auto line = std::async(std::launch::async, [&] {
        readByteWithin(rig.pty.master, 3000); // "C"
        writeRaw(rig.pty.master, handBlock(1, pattern(128), true));
        return readUntilQuiet(rig.pty.master, 1000);
    });
    EXPECT_EQ(xmodemReceive(out), -1);
    std::fclose(out);
    EXPECT_EQ(line.get(), std::vector<std::uint8_t>(3, CAN));
    EXPECT_NE(rig.log().find("file write error: No space left on device\n"), std::string::npos);
}

// Nobody sends: 16 "C", 16 NAK, each followed by a wait of about 1.6 s, then exactly CAN CAN CAN.
TEST(XmodemReceive, SilentSender) {
    EngineRig rig;
    std::atomic<bool> done{false};
    auto line = recordLine(rig.pty.master, done);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(xmodemReceive(stdout), -2);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    done = true;
    std::vector<std::uint8_t> expected(16, 'C');
    expected.insert(expected.end(), 16, 0x15);
    expected.insert(expected.end(), 3, 0x18);
    EXPECT_EQ(line.get(), expected);
    EXPECT_GT(seconds, 40.0);
    EXPECT_LT(seconds, 75.0);
    EXPECT_EQ(countLines(rig.log(), "inbyte failed 32 times"), 32);
}

} // namespace
