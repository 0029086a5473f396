// The engine against lrzsz (sx/rx) as independent peers, over two real pseudo-terminals joined
// by the relay. lrzsz runs with its standard input and output on one slave; the engine opens
// the other by path, as the tools do.
#include "bench/paced_relay.h"
#include "tests/support/process.h"
#include "tests/support/xmodem_rig.h"

#include <gtest/gtest.h>

#include <fcntl.h>

namespace {

const std::vector<std::size_t> SIZES = {0, 1, 127, 128, 129, 300, 300 * 1024 + 17};

std::string shimPath() {
    return std::string(ZB_BIN_DIR) + "/bench/liblrzsz_shim.so";
}

// The engine on slave A of a relay, lrzsz on slave B.
struct EngineOnRelay {
    PacedRelay relay{RelayOptions{0, {}, {}, {}}};
    XmodemRig engine{relay.pathA};
    const TempDir& dir = engine.dir;
};

void sendToRx(bool crc) {
    if (!haveLrzsz())
        GTEST_SKIP() << "lrzsz (sx/rx) is not installed";
    for (std::size_t size : SIZES) {
        EngineOnRelay rig;
        const auto data = pattern(size, static_cast<unsigned>(size));
        std::vector<std::string> argv{"rx", "-q"};
        if (crc)
            argv.push_back("-c");
        argv.push_back("got.bin");
        TtyProgram rx(argv, rig.relay.slaveB, rig.dir.path, {"LD_PRELOAD=" + shimPath()},
                      rig.dir / "rx.err");
        const std::int32_t result = xmodemTransmit(data.data(), static_cast<std::int32_t>(size));
        EXPECT_EQ(rx.wait(30), 0) << size << ": " << readText(rig.dir / "rx.err");
        const auto expected = withFill(data);
        EXPECT_EQ(result, static_cast<std::int32_t>(expected.size())) << size;
        EXPECT_EQ(readFile(rig.dir / "got.bin"), expected) << size;
    }
}

void receiveFromSx(bool large) {
    if (!haveLrzsz())
        GTEST_SKIP() << "lrzsz (sx/rx) is not installed";
    for (std::size_t size : SIZES) {
        EngineOnRelay rig;
        const auto data =
            writePattern(rig.dir / "image.bin", size, static_cast<unsigned>(size) + 1);
        std::vector<std::string> argv{"sx", "-q"};
        if (large)
            argv.push_back("-k");
        argv.push_back(rig.dir / "image.bin");
        TtyProgram sx(argv, rig.relay.slaveB, rig.dir.path, {}, rig.dir / "sx.err");
        FILE* out = std::fopen((rig.dir / "got.bin").c_str(), "wb");
        const std::int32_t result = xmodemReceive(out);
        std::fclose(out);
        EXPECT_EQ(sx.wait(30), 0) << size << ": " << readText(rig.dir / "sx.err");
        // sx fills the last block with SUB only, and ends in 128-byte blocks.
        auto expected = data;
        expected.resize((size + 127) / 128 * 128, 0x1A);
        EXPECT_EQ(result, static_cast<std::int32_t>(expected.size())) << size;
        EXPECT_EQ(readFile(rig.dir / "got.bin"), expected) << size;
    }
}

TEST(XmodemInterop, SendToRxChecksum) {
    sendToRx(false);
}
TEST(XmodemInterop, SendToRxCrc) {
    sendToRx(true);
}
TEST(XmodemInterop, ReceiveFromSx) {
    receiveFromSx(false);
}
TEST(XmodemInterop, ReceiveFromSx1k) {
    receiveFromSx(true);
}

} // namespace
