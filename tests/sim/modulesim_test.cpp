// The simulated module: how it cuts frames out of a disturbed byte stream, and how the running
// program answers over its pseudo-terminal.
#include "sim/module.h"
#include "tests/support/sandbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {

Bytes hex(std::string_view s) {
    std::string compact;
    for (char c : s)
        if (c != ' ')
            compact += c;
    Bytes b;
    EXPECT_TRUE(parseHexBytes(compact, b)) << s;
    return b;
}

TEST(ModuleFrames, ScanFindsFramesBehindJunkAndWaitsForPartialOnes) {
    // Junk that looks like a header start, then a whole frame.
    ScanResult r = scanFrames(hex("12 00 34 00 00 06 00 00 aa"));
    EXPECT_EQ(r.junk, 3u);
    EXPECT_EQ(r.frameLen, 6u);

    // A frame with a payload, and one whose terminator is wrong (so it is junk).
    r = scanFrames(hex("00 00 07 00 08 01 02 03 04 05 06 07 08 aa"));
    EXPECT_EQ(r.junk, 0u);
    EXPECT_EQ(r.frameLen, 14u);
    r = scanFrames(hex("00 00 06 00 00 ab 12"));
    EXPECT_EQ(r.frameLen, 0u);
    EXPECT_FALSE(r.waiting);
    EXPECT_EQ(r.junk, 7u);

    // A header cut short is kept until more arrives...
    r = scanFrames(hex("ff 00 00 06"));
    EXPECT_EQ(r.junk, 1u);
    EXPECT_TRUE(r.waiting);
    // ...but a whole frame behind a stalled start is not held up by it.
    r = scanFrames(hex("00 00 00 00 06 00 00 aa"));
    EXPECT_EQ(r.junk, 2u);
    EXPECT_EQ(r.frameLen, 6u);
}

TEST(ModuleFrames, OptionValuesAreCheckedAndVersionIsPackedByNibbles) {
    ModuleConfig cfg;
    ASSERT_TRUE(parseVersion("10.2.15.0", cfg));
    EXPECT_EQ(cfg.versionHi, 0xA2);
    EXPECT_EQ(cfg.versionLo, 0xF0);
    for (const char* bad : {"1.2.3", "1.2.3.16", "1.2.3.4.5", "a.b.c.d", "1..3.4", ""})
        EXPECT_FALSE(parseVersion(bad, cfg)) << bad;
    ASSERT_TRUE(parseFlashedVersions("1.3.0.0,9.9.9.8", cfg));
    const std::vector<std::pair<std::uint8_t, std::uint8_t>> flashed{{0x00, 0x13}, {0x98, 0x99}};
    EXPECT_EQ(cfg.flashedVersions, flashed);
    for (const char* bad : {"1.3.0.0,", ",1.3.0.0", "1.3.0.0;2.0.0.0"})
        EXPECT_FALSE(parseFlashedVersions(bad, cfg)) << bad;

    ASSERT_TRUE(parseReplyOption("e1=silent,bytes:0001e1,late:10,split:5,short:2,dup", cfg));
    const auto& plans = cfg.replies[0xE1];
    ASSERT_EQ(plans.size(), 6u);
    EXPECT_EQ(plans[1].raw, hex("00 01 e1"));
    EXPECT_EQ(plans[4].count, 2u);
    for (const char* bad : {"6=ok", "06", "06=", "06=ok,", "06=status:1", "06=bytes:0", "06=late",
                            "06=late:x", "06=fast", "zz=ok", "06=ok:1"})
        EXPECT_FALSE(parseReplyOption(bad, cfg)) << bad;
    ASSERT_TRUE(parseAskInterval("3000", cfg));
    EXPECT_EQ(cfg.peer.askEveryMs, 3000);
    for (const char* bad : {"0", "", "1s", "600001"})
        EXPECT_FALSE(parseAskInterval(bad, cfg)) << bad;
}

// The running simulator, with the test holding the slave side as a tool would.
class ModuleSim : public ::testing::Test {
protected:
    TempDir dir;
    std::unique_ptr<SimModule> sim;
    int port = -1;

    void start(const std::vector<std::string>& options) {
        sim = std::make_unique<SimModule>(dir, options);
        ASSERT_TRUE(sim->started()) << "modulesim printed no terminal";
        openPort(sim->pty);
    }
    void openPort(const std::string& path) {
        port = ::open(path.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(port, 0) << path;
    }
    void closePort() {
        if (port >= 0)
            ::close(port);
        port = -1;
    }
    void TearDown() override { closePort(); }

    void send(std::string_view frame) {
        const Bytes b = hex(frame);
        ASSERT_EQ(::write(port, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    }
    // Everything that arrives until the line has been quiet for `quietMs`.
    std::string receive(int quietMs = 400) {
        Bytes got;
        for (;;) {
            pollfd p{port, POLLIN, 0};
            if (::poll(&p, 1, quietMs) <= 0)
                break;
            std::uint8_t buf[256];
            const ssize_t n = ::read(port, buf, sizeof buf);
            if (n <= 0)
                break;
            got.insert(got.end(), buf, buf + n);
        }
        return hexBytes(got);
    }
    std::string exchange(std::string_view frame) {
        send(frame);
        return receive();
    }
    // Stops the simulator, which must exit cleanly (the test ends if not), and gives its record.
    void stopAndRecord(std::string& rec) {
        ASSERT_EQ(sim->process().stop(), 0);
        rec = sim->record();
    }
};

TEST_F(ModuleSim, RepliesFollowTheSequenceGivenPerCodeAndAreRecorded) {
    start({"--reply", "06=silent,status:05,ok", "--gateway-id", "0a0b0c0d0e0f101112", "--version",
           "2.0.1.9"});
    EXPECT_EQ(exchange("00 00 06 00 00 aa"), "");
    EXPECT_EQ(exchange("00 00 06 00 00 aa"), "00 01 06 08 01 05 aa");
    EXPECT_EQ(exchange("00 00 06 00 00 aa"), "00 01 06 08 01 00 aa");
    EXPECT_EQ(exchange("00 00 06 00 00 aa"), "00 01 06 08 01 00 aa"); // the last one repeats
    // Other codes keep their normal replies.
    EXPECT_EQ(exchange("00 00 03 00 00 aa"), "00 01 03 08 01 00 aa");
    EXPECT_EQ(exchange("00 00 01 00 00 aa"), "00 01 01 08 02 19 20 aa");
    EXPECT_EQ(exchange("00 00 04 00 00 aa"), "00 01 04 08 09 0a 0b 0c 0d 0e 0f 10 11 12 aa");
    EXPECT_EQ(exchange("00 00 e0 00 00 aa"), "00 01 e0 08 01 00 aa");
    EXPECT_EQ(exchange("00 00 55 00 00 aa"), ""); // unknown code

    std::string rec;
    ASSERT_NO_FATAL_FAILURE(stopAndRecord(rec));
    EXPECT_EQ(rec, "RX 00 00 06 00 00 aa\n"
                   "RX 00 00 06 00 00 aa\n"
                   "TX 00 01 06 08 01 05 aa\n"
                   "RX 00 00 06 00 00 aa\n"
                   "TX 00 01 06 08 01 00 aa\n"
                   "RX 00 00 06 00 00 aa\n"
                   "TX 00 01 06 08 01 00 aa\n"
                   "RX 00 00 03 00 00 aa\n"
                   "TX 00 01 03 08 01 00 aa\n"
                   "RX 00 00 01 00 00 aa\n"
                   "TX 00 01 01 08 02 19 20 aa\n"
                   "RX 00 00 04 00 00 aa\n"
                   "TX 00 01 04 08 09 0a 0b 0c 0d 0e 0f 10 11 12 aa\n"
                   "RX 00 00 e0 00 00 aa\n"
                   "TX 00 01 e0 08 01 00 aa\n"
                   "RX 00 00 55 00 00 aa\n");
}

TEST_F(ModuleSim, ResynchronisesAfterJunkAndAStalledHeader) {
    start({});
    EXPECT_EQ(exchange("15 43 00 aa 00 00 06 00 00 aa"), "00 01 06 08 01 00 aa");
    // A header that never completes is dropped once the line goes quiet...
    send("00 00 03");
    EXPECT_EQ(receive(), "");
    EXPECT_EQ(exchange("00 00 03 00 00 aa"), "00 01 03 08 01 00 aa");
    // ...and one followed at once by a whole frame does not swallow it.
    EXPECT_EQ(exchange("00 00 00 00 06 00 00 aa"), "00 01 06 08 01 00 aa");
    std::string rec;
    ASSERT_NO_FATAL_FAILURE(stopAndRecord(rec));
    EXPECT_NE(rec.find("JUNK 15 43 00 aa\nRX 00 00 06 00 00 aa\n"), std::string::npos) << rec;
    EXPECT_NE(rec.find("JUNK 00 00 03\nRX 00 00 03 00 00 aa\n"), std::string::npos) << rec;
    EXPECT_NE(rec.find("JUNK 00 00\nRX 00 00 06 00 00 aa\n"), std::string::npos) << rec;
}

TEST_F(ModuleSim, ShapedRepliesSplitDelayShortenAndRepeat) {
    start({"--reply", "06=split:300,late:600,short:3,dup,bytes:0102aa", "--reply",
           "e1=status:15,ok"});
    send("00 00 06 00 00 aa");
    EXPECT_EQ(receive(800), "00 01 06 08 01 00 aa"); // both halves, whatever the gap
    send("00 00 06 00 00 aa");
    pollfd p{port, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 200), 0) << "a late reply came at once";
    EXPECT_EQ(receive(1500), "00 01 06 08 01 00 aa");
    EXPECT_EQ(exchange("00 00 06 00 00 aa"), "00 01 06");
    EXPECT_EQ(exchange("00 00 06 00 00 aa"), "00 01 06 08 01 00 aa 00 01 06 08 01 00 aa");
    EXPECT_EQ(exchange("00 00 06 00 00 aa"), "01 02 aa");
    // The update start answers 'C' (here replaced by 15) and only then begins a transfer.
    EXPECT_EQ(exchange("00 00 e1 00 08 00 00 00 00 00 00 00 00 aa"), "15");
    std::string rec;
    ASSERT_NO_FATAL_FAILURE(stopAndRecord(rec));
    EXPECT_NE(rec.find("TX 00 01 06\nTX 08 01 00 aa\n"), std::string::npos) << rec;
    EXPECT_EQ(rec.find("XM "), std::string::npos) << rec;
}

TEST_F(ModuleSim, FactoryResetNeedsTheGatewayIdAndBlanksTheTable) {
    writeText(dir / "table", "paired devices");
    writeText(dir / "blank", "blank");
    start({"--table", dir / "table", "--blank-table", dir / "blank", "--gateway-id",
           "a1a2a3a4a5a6a7a8a9"});
    EXPECT_EQ(exchange("00 00 07 00 08 a1 a2 a3 a4 a5 a6 a7 a9 aa"), "00 01 07 08 01 01 aa");
    EXPECT_EQ(readText(dir / "table"), "paired devices");
    // Only the first 8 bytes of a longer ID travel in the request.
    EXPECT_EQ(exchange("00 00 07 00 08 a1 a2 a3 a4 a5 a6 a7 a8 aa"), "00 01 07 08 01 00 aa");
    EXPECT_EQ(readText(dir / "table"), "blank");
}

TEST_F(ModuleSim, KeepsAnsweringWhenTheHostReopensThePortAndStopsCleanly) {
    start({});
    EXPECT_EQ(exchange("00 00 06 00 00 aa"), "00 01 06 08 01 00 aa");
    closePort();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    openPort(sim->pty);
    EXPECT_EQ(exchange("00 00 06 00 00 aa"), "00 01 06 08 01 00 aa");
    EXPECT_EQ(sim->process().stop(), 0);
    std::string extra;
    EXPECT_FALSE(sim->process().readLine(extra, 1))
        << "more than the terminal on stdout: " << extra;
}

TEST(ModuleSimCli, HelpAndBadOptions) {
    const std::string bin = programPath("sim");
    ProcessResult r = runProcess({bin, "--help"}, {}, 30);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("--reply CODE=HOW"), std::string::npos);
    EXPECT_NE(r.out.find("--xm-"), std::string::npos) << "XMODEM knobs missing from usage";
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--reply", "06=maybe"},
                                                {"--version", "1.2"},
                                                {"--flashed-version", "1.2.3.4,"},
                                                {"--bogus"},
                                                {"--table"},
                                                {"--xm-no-such-knob"}}) {
        std::vector<std::string> argv{bin};
        argv.insert(argv.end(), bad.begin(), bad.end());
        r = runProcess(argv, {}, 30);
        EXPECT_EQ(r.exitCode, 2) << bad[0];
        EXPECT_EQ(r.out, "") << bad[0];
        EXPECT_NE(r.err.find("modulesim: "), std::string::npos) << bad[0];
    }
}

} // namespace
