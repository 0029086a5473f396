// radioflash end to end: the shipped binary against the simulated module, which the sandbox
// shows to it as /dev/ttyS4.
#include "tests/support/data.h"
#include "tests/support/sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string RADIOFLASH = programPath("radioflash");

const std::string USAGE =
    "USAGE: radioflash -f <firmware file> [-ohub] [-l <log file|stdout|stderr>]\n"
    "Please specify -ohub option for updating Orvane Hub.  Otherwise, output Zigbee device will "
    "be found automatically.\n";
const std::string ARGUMENT_ERROR = "ERROR: argument error\n";
const std::string HUB_LINE = "device: /dev/ttyS4\n";
const std::string PREPARE_RX = "00 00 e0 00 00 aa";
const std::string START_RX = "00 00 e1 00 08 00 00 00 00 00 00 00 00 aa";

// A run directory with the simulated module (when started) and the sandbox's /var/log.
struct Bench {
    TempDir dir;
    std::string logDir = dir / "log";
    std::unique_ptr<SimModule> sim;

    void startSim(const std::vector<std::string>& simArgs = {}) {
        sim = std::make_unique<SimModule>(dir, simArgs);
        ASSERT_TRUE(sim->started()) << "modulesim did not report its pty";
    }

    // radioflash `args` in the sandbox; `sandboxArgs` go before "--", `wrapper` runs the tool.
    ProcessResult run(const std::vector<std::string>& args,
                      const std::vector<std::string>& sandboxArgs = {},
                      const std::vector<std::string>& wrapper = {},
                      double timeoutSeconds = 90) const {
        return runProcess(
            shippedArgv("radioflash", sim ? sim->pty : "", logDir, args, sandboxArgs, wrapper),
            kSanitizerEnv, timeoutSeconds);
    }

    // The default run log without its header line (checked to be there), then emptied so the
    // next run starts afresh.
    std::string takeLogBody() const {
        const std::string path = logDir + "/radioimage.log";
        std::string text = readText(path);
        unlink(path.c_str());
        EXPECT_EQ(text.rfind("radioflash: ", 0), 0u) << text;
        const auto nl = text.find('\n');
        return nl == std::string::npos ? std::string() : text.substr(nl + 1);
    }
};

std::string updateLog(const std::string& image) {
    return HUB_LINE + "firmware: " + image + "\nPreparing to update device /dev/ttyS4...\n";
}

TEST(RadioflashCommandLine, BadWordsPrintUsageAndOpenNothing) {
    TempDir dir;
    const std::vector<std::vector<std::string>> cases = {
        {"-f"},        {"-ohub", "-file"},
        {"-l"},        {"-ohub", "-log"},
        {"bogus"},     {""},
        {"image.bin"}, {"-F", "x"},
        {"-OHUB"},     {"-f", "a", "-l"},
        {"--ohub"},    {"-currentversion", "-x"},
    };
    for (const auto& args : cases) {
        std::vector<std::string> argv = {RADIOFLASH};
        argv.insert(argv.end(), args.begin(), args.end());
        // A log path that would be created if anything were opened.
        argv.insert(argv.begin() + 1, {"-l", dir / "run.log"});
        const ProcessResult r = runProcess(argv, {}, 30);
        EXPECT_EQ(r.exitCode, 255) << args.size();
        EXPECT_EQ(r.out, ARGUMENT_ERROR + USAGE);
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(access((dir / "run.log").c_str(), F_OK), -1);

    const ProcessResult r = runProcess({RADIOFLASH, "-ohub", "-l", dir / "no/such/dir.log"});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.out, "ERROR: cannot open log file\nERROR: No such file or directory: " +
                         (dir / "no/such/dir.log") + "\n");
}

TEST(RadioflashSetup, NoAdapterMeansNoneBeforeTheImage) {
    Bench b;
    const auto otherAdapter = fakeAdapters(b.dir, {{"ttyUSB0", "0403", "6001"}});
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"-f", b.dir / "missing.bin"}, {"-currentversion"}}) {
        const ProcessResult r = b.run(args, otherAdapter);
        SKIP_WITHOUT_SANDBOX(r);
        EXPECT_EQ(r.exitCode, 255);
        EXPECT_EQ(r.out, "NONE\n");
        EXPECT_EQ(b.takeLogBody(), "ERROR: cannot find Zigbee device.\n");
    }
}

TEST(RadioflashSetup, NoModeWritesUsageToTheLog) {
    Bench b;
    b.startSim();
    const ProcessResult hub = b.run({"-ohub"});
    SKIP_WITHOUT_SANDBOX(hub);
    EXPECT_EQ(hub.exitCode, 255);
    EXPECT_EQ(hub.out, ARGUMENT_ERROR);
    EXPECT_EQ(b.takeLogBody(), HUB_LINE + USAGE);

    // No arguments at all is not a parse error: discovery runs and the device is logged.
    const ProcessResult none = b.run({}, fakeAdapters(b.dir, {{"ttyUSB3", "0403", "6015"}}));
    SKIP_WITHOUT_SANDBOX(none);
    EXPECT_EQ(none.exitCode, 255);
    EXPECT_EQ(none.out, ARGUMENT_ERROR);
    EXPECT_EQ(b.takeLogBody(), "device: /dev/ttyUSB3\n" + USAGE);
    EXPECT_TRUE(b.sim->requests().empty());
}

TEST(RadioflashVersion, RepliesAndOutcomes) {
    const std::string wrong = "Received: 00 01 01 08 03 34 12 aa \n";
    std::string sevenBytes;
    for (int i = 0; i < 5; ++i)
        sevenBytes += "Received: 00 01 01 08 02 34 12 \n";
    const struct {
        std::vector<std::string> sim, args;
        int status;
        std::string out, log;
        std::size_t requests;
        double minSeconds;
    } cases[] = {
        // The image named too (and missing) is neither examined nor logged.
        {{},
         {"-f", "missing.bin", "-currentversion", "-ohub"},
         1,
         "1.2.3.4\n",
         "Received: 00 01 01 08 02 34 12 aa \n",
         1,
         0},
        // Byte 4 wrong, then a right reply with a ninth byte; nibbles shown most significant
        // first.
        {{"--reply", "01=bytes:00010108033412aa,bytes:000101080205f1aa55"},
         {"-ohub", "-currentversion"},
         1,
         "15.1.0.5\n",
         wrong + "Received: 00 01 01 08 02 05 f1 aa 55 \n",
         2,
         0},
        // The first (wrong) reply leaves AA at byte 7 of the buffer; the short ones behind it
        // must still not pass.
        {{"--reply", "01=bytes:00010108033412aa,short:7"},
         {"-ohub", "-currentversion"},
         255,
         "NORESPONSE\n",
         wrong + sevenBytes + "No valid response.\n",
         6,
         5.5},
        // A silent module gets one request.
        {{"--reply", "01=silent"}, {"-ohub", "-currentversion"}, 255, "ERROR\n", "", 1, 0.9},
    };
    for (const auto& c : cases) {
        Bench b;
        b.startSim(c.sim);
        const ProcessResult r = b.run(c.args);
        SKIP_WITHOUT_SANDBOX(r);
        EXPECT_EQ(r.exitCode, c.status) << c.out;
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(b.takeLogBody(), HUB_LINE + c.log);
        EXPECT_EQ(b.sim->requests(), std::vector<std::string>(c.requests, "00 00 01 00 00 aa"));
        EXPECT_GE(r.seconds, c.minSeconds) << c.out;
    }
}

// A module left waiting in its firmware receiver (started there, or stranded by an update cut
// short) gets the image without a start request, in the check mode it asks for, however
// seldom it asks; one stray NAK is no such module.
TEST(RadioflashUpdate, SendsTheImageWhole) {
    const std::string waiting = "The module is already waiting for a firmware image (an earlier "
                                "update was cut short): sending the image without a start "
                                "request.\n";
    const struct {
        std::vector<std::string> sim;
        std::string waitingLine;
        std::vector<std::string> requests;
        bool cutFirst = false; // an earlier update dies at block 3 and strands the module
    } cases[] = {
        {{}, "", {PREPARE_RX, START_RX}},
        {{"--start-in-receiver"}, waiting, {}},
        {{"--start-in-receiver", "--ask-every", "3000", "--xm-start", "checksum"}, waiting, {}},
        // A stray NAK for the prepare reply is asked again: no receiver asks twice.
        {{"--reply", "e0=bytes:15,ok"}, "", {PREPARE_RX, PREPARE_RX, START_RX}},
        {{"--stay-in-receiver", "--xm-stop", "3", "--xm-timeout", "4000"},
         waiting,
         {PREPARE_RX, START_RX},
         true},
    };
    for (const auto& c : cases) {
        Bench b;
        const std::string received = b.dir / "received.bin";
        std::vector<std::string> simArgs = {"--image", received};
        simArgs.insert(simArgs.end(), c.sim.begin(), c.sim.end());
        b.startSim(simArgs);
        const std::string image = b.dir / "fw.bin";
        const auto data = writePattern(image, 1000);
        if (c.cutFirst) {
            const ProcessResult cut = b.run({"-ohub", "-f", image});
            SKIP_WITHOUT_SANDBOX(cut);
            EXPECT_EQ(cut.out, "ERROR: fail to update firmware\n");
            b.takeLogBody();
        }
        // The last -f wins; the first names nothing that exists.
        const ProcessResult r = b.run({"-f", b.dir / "missing.bin", "-ohub", "-file", image});
        SKIP_WITHOUT_SANDBOX(r);
        EXPECT_EQ(r.exitCode, 0) << c.waitingLine;
        EXPECT_EQ(r.out, "SUCCESS\n");
        // The sender may wait out a receiver that asks seldom; that wait is logged.
        std::string log = b.takeLogBody();
        for (auto at = log.find("inbyte failed"); at != std::string::npos;
             at = log.find("inbyte failed"))
            log.erase(at, log.find('\n', at) + 1 - at);
        EXPECT_EQ(log, updateLog(image) + c.waitingLine +
                           "firmware size = 1000\nNow updating...may take 5 mins.\n"
                           "result = 1024 (success)\n");
        EXPECT_EQ(readFile(received), withFill(data));
        EXPECT_EQ(b.sim->requests(), c.requests);
        EXPECT_GE(r.seconds,
                  c.waitingLine.empty() ? 8.0 : 6.0); // 1 s + 2 s or 1 s before, 5 s after
    }
}

TEST(RadioflashUpdate, StdoutLogStillEndsWithTheOutcome) {
    Bench b;
    // Bytes 0 and 1 and the status byte of the prepare reply are not judged.
    b.startSim({"--reply", "e0=bytes:ffffe0080105aa"});
    const std::string image = b.dir / "fw.bin";
    writePattern(image, 300);
    const ProcessResult r = b.run({"-ohub", "-l", "stdout", "-f", image});
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.exitCode, 0);
    ASSERT_EQ(r.out.rfind("radioflash: ", 0), 0u) << r.out;
    EXPECT_EQ(r.out.substr(r.out.find('\n') + 1),
              updateLog(image) + "firmware size = 300\nNow updating...may take 5 mins.\n" +
                  "result = 384 (success)\nSUCCESS\n");
    EXPECT_EQ(access((b.logDir + "/radioimage.log").c_str(), F_OK), -1);
}

TEST(RadioflashUpdate, CancelledTransferFails) {
    Bench b;
    b.startSim({"--xm-cancel", "2"});
    const std::string image = b.dir / "fw.bin";
    writePattern(image, 1000);
    const ProcessResult r = b.run({"-ohub", "-f", image});
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.out, "ERROR: fail to update firmware\n");
    const std::string log = b.takeLogBody();
    EXPECT_EQ(log.rfind(updateLog(image) + "firmware size = 1000\n", 0), 0u) << log;
    EXPECT_TRUE(log.ends_with("result = -1 (canceled by remote)\n")) << log;
}

// A refused prepare is asked six times; a start answered with junk restarts from the prepare,
// six times at most; a silent module gets one prepare request.
TEST(RadioflashUpdate, RefusedInitIsBounded) {
    const struct {
        std::string reply;
        long prepares, starts;
    } cases[] = {{"e0=bytes:000106080100aa", 6, 0}, {"e1=bytes:4300", 7, 7}, {"e0=silent", 1, 0}};
    for (const auto& c : cases) {
        Bench b;
        b.startSim({"--reply", c.reply});
        const std::string image = b.dir / "fw.bin";
        writePattern(image, 100);
        const ProcessResult r = b.run({"-ohub", "-f", image});
        SKIP_WITHOUT_SANDBOX(r);
        EXPECT_EQ(r.exitCode, 255) << c.reply;
        EXPECT_EQ(r.out, "ERROR: cannot access port\n");
        EXPECT_EQ(b.takeLogBody(), updateLog(image) + "ERROR: update init fail!\n");
        const auto rx = b.sim->requests();
        EXPECT_EQ(std::count(rx.begin(), rx.end(), PREPARE_RX), c.prepares) << c.reply;
        EXPECT_EQ(std::count(rx.begin(), rx.end(), START_RX), c.starts) << c.reply;
        EXPECT_EQ(rx.size(), static_cast<std::size_t>(c.prepares + c.starts)) << c.reply;
    }
}

} // namespace
