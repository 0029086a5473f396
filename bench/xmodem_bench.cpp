// Line-rate benchmark of the XMODEM engine against itself and against lrzsz, through a relay
// that paces both directions at 115200 8N1.
//
//   cmake --build <dir> --target bench        (or run <dir>/bench/xmodem_bench [--size BYTES])
//
// For each run it prints the blocks phase (first block header to the EOT), the EOT handshake
// (EOT to its ACK), the throughput over the blocks phase and over the whole data phase, and the
// ratio to the line limit for the block size.
#include "bench/paced_relay.h"
#include "bench/phase_clock.h"
#include "link/serial.h"
#include "tests/support/data.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"
#include "xmodem/xmodem.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

struct Run {
    std::string name;
    int blockSize = 128;
    double blocksSeconds = 0;
    double eotSeconds = 0;
    bool ok = false;
    long rssKb = 0;
    char turns[64] = "";
};

std::string selfPath() {
    char buf[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

// Our receiver in a child process on `port`, writing to `out`.
int childReceive(const char* port, const char* out, const char* logPath) {
    log_fp = std::fopen(logPath, "w");
    SERIAL_FD = Open_Serial(port);
    if (SERIAL_FD < 0)
        return 2;
    SetComConf(SERIAL_FD);
    FILE* f = std::fopen(out, "wb");
    if (f == nullptr)
        return 2;
    const std::int32_t r = xmodemReceive(f);
    std::fclose(f);
    closeSerial();
    // The peak resident set of this process image (VmHWM starts afresh at exec; the rusage of
    // a spawned child can carry the parent's peak over).
    std::string rss = std::string(out) + ".rss";
    if (FILE* status = std::fopen("/proc/self/status", "r"); status != nullptr) {
        char line[256];
        while (std::fgets(line, sizeof line, status) != nullptr)
            if (std::strncmp(line, "VmHWM:", 6) == 0)
                if (FILE* o = std::fopen(rss.c_str(), "w"); o != nullptr) {
                    std::fputs(line + 6, o);
                    std::fclose(o);
                }
        std::fclose(status);
    }
    return r > 0 ? 0 : 1;
}

bool openOurPort(const std::string& path, const std::string& logPath) {
    log_fp = std::fopen(logPath.c_str(), "w");
    SERIAL_FD = Open_Serial(path.c_str());
    if (SERIAL_FD < 0)
        return false;
    SetComConf(SERIAL_FD);
    return true;
}

void closeOurPort() {
    closeSerial();
    if (log_fp != nullptr)
        std::fclose(log_fp);
    log_fp = nullptr;
}

struct Bench {
    std::string dir;
    std::string shim;
    std::vector<std::uint8_t> data;
    std::string dataPath;
    double rate = LINE_BYTES_PER_SECOND;

    RelayOptions relayOptions(PhaseClock& clock) const {
        RelayOptions o;
        o.bytesPerSecond = rate;
        clock.tapInto(o);
        return o;
    }

    static void finish(Run& run, PhaseClock& clock) {
        if (clock.turns > 0)
            std::snprintf(run.turns, sizeof run.turns, "turnaround rx %.2f ms, tx %.2f ms",
                          1000 * clock.receiverTurn / static_cast<double>(clock.turns),
                          1000 * clock.senderTurn / static_cast<double>(clock.turns));
        if (clock.firstHeader && clock.eot)
            run.blocksSeconds =
                std::chrono::duration<double>(*clock.eot - *clock.firstHeader).count();
        if (clock.eot && clock.eotAck)
            run.eotSeconds = std::chrono::duration<double>(*clock.eotAck - *clock.eot).count();
    }

    // Ends a run: the relay stops, the phases are read off the clock, and the run is good when
    // both sides were and `out` holds the data.
    Run ended(Run run, PacedRelay& relay, PhaseClock& clock, bool bothOk,
              const std::string& out) const {
        relay.stop();
        finish(run, clock);
        run.ok = bothOk && startsWith(readFile(out), data);
        return run;
    }

    // Our sender on A, our receiver (child process) on B.
    Run oursToOurs() {
        Run run{"ours -> ours (128)", 128};
        PhaseClock clock;
        PacedRelay relay(relayOptions(clock));
        const std::string out = dir + "/ours_in.bin";
        const int devnull = open("/dev/null", O_RDWR);
        TtyProgram child({selfPath(), "--child-receive", relay.pathB, out, dir + "/child.log"},
                         devnull, dir);
        close(devnull);
        if (!openOurPort(relay.pathA, dir + "/send.log"))
            return run;
        const std::int32_t r = xmodemTransmit(data.data(), static_cast<std::int32_t>(data.size()));
        closeOurPort();
        const int status = child.wait(120);
        if (FILE* rss = std::fopen((out + ".rss").c_str(), "r"); rss != nullptr) {
            if (std::fscanf(rss, "%ld", &run.rssKb) != 1)
                run.rssKb = 0;
            std::fclose(rss);
        }
        return ended(run, relay, clock, r > 0 && status == 0, out);
    }

    // sx (optionally -k) on B, our receiver on A.
    Run sxToOurs(bool large) {
        Run run{large ? "sx -k -> ours (1024)" : "sx -> ours (128)", large ? 1024 : 128};
        PhaseClock clock;
        clock.dataDir = RelayDir::BtoA;
        PacedRelay relay(relayOptions(clock));
        std::vector<std::string> argv{"sx", "-q"};
        if (large)
            argv.push_back("-k");
        argv.push_back(dataPath);
        TtyProgram sx(argv, relay.slaveB, dir);
        if (!openOurPort(relay.pathA, dir + "/recv.log"))
            return run;
        const std::string out = dir + "/sx_in.bin";
        FILE* f = std::fopen(out.c_str(), "wb");
        const std::int32_t r = xmodemReceive(f);
        std::fclose(f);
        closeOurPort();
        const int status = sx.wait(10);
        return ended(run, relay, clock, r > 0 && status == 0, out);
    }

    // sx (optionally -k) on A, rx -c on B.
    Run sxToRx(bool large) {
        Run run{large ? "sx -k -> rx (1024)" : "sx -> rx (128)", large ? 1024 : 128};
        PhaseClock clock;
        PacedRelay relay(relayOptions(clock));
        std::vector<std::string> argv{"sx", "-q"};
        if (large)
            argv.push_back("-k");
        argv.push_back(dataPath);
        TtyProgram sx(argv, relay.slaveA, dir, {}, dir + "/sx.err");
        const std::string name = large ? "rx_in_k.bin" : "rx_in.bin";
        std::remove((dir + "/" + name).c_str());
        TtyProgram rx({"rx", "-q", "-c", name}, relay.slaveB, dir,
                      {shim.empty() ? std::string() : "LD_PRELOAD=" + shim}, dir + "/rx.err");
        const int rxStatus = rx.wait(120);
        const int sxStatus = sx.wait(10);
        if (std::getenv("XMODEM_BENCH_DEBUG") != nullptr)
            std::fprintf(stderr, "rx %d sx %d\n", rxStatus, sxStatus);
        return ended(run, relay, clock, rxStatus == 0 && sxStatus == 0, dir + "/" + name);
    }

    // Our sender on A, rx -c on B.
    Run oursToRx() {
        Run run{"ours -> rx (128)", 128};
        PhaseClock clock;
        PacedRelay relay(relayOptions(clock));
        std::remove((dir + "/ours_rx.bin").c_str());
        TtyProgram rx({"rx", "-q", "-c", "ours_rx.bin"}, relay.slaveB, dir,
                      {shim.empty() ? std::string() : "LD_PRELOAD=" + shim});
        if (!openOurPort(relay.pathA, dir + "/send_rx.log"))
            return run;
        const std::int32_t r = xmodemTransmit(data.data(), static_cast<std::int32_t>(data.size()));
        closeOurPort();
        const int status = rx.wait(30);
        return ended(run, relay, clock, r > 0 && status == 0, dir + "/ours_rx.bin");
    }
};

void print(const Run& r, std::size_t size) {
    const double blocks = r.blocksSeconds > 0 ? static_cast<double>(size) / r.blocksSeconds : 0;
    const double whole = r.blocksSeconds + r.eotSeconds > 0
                             ? static_cast<double>(size) / (r.blocksSeconds + r.eotSeconds)
                             : 0;
    std::printf("%-22s %-4s blocks %7.3f s  EOT %5.3f s  %7.0f B/s (%.3f of line)  "
                "with EOT %7.0f B/s",
                r.name.c_str(), r.ok ? "ok" : "FAIL", r.blocksSeconds, r.eotSeconds, blocks,
                blocks / lineLimit(r.blockSize), whole);
    if (r.rssKb > 0)
        std::printf("  peak RSS %ld KiB", r.rssKb);
    std::printf("\n%22s %s", "", r.turns);
    std::printf("\n");
    std::fflush(stdout);
}

double perSecond(const Run& r, std::size_t size) {
    return r.blocksSeconds > 0 ? static_cast<double>(size) / r.blocksSeconds : 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--child-receive") == 0)
        return childReceive(argv[2], argv[3], argv[4]);

    std::size_t size = 256 * 1024;
    std::string only; // one run: ours, ours-rx, sx-ours, sxk-ours, sx-rx, sxk-rx
    Bench b;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--size") == 0 && i + 1 < argc)
            size = std::strtoul(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc)
            only = argv[++i];
        else if (std::strcmp(argv[i], "--shim") == 0 && i + 1 < argc) {
            // rx runs in another directory; a shim that is not there is left out
            std::error_code missing;
            b.shim = std::filesystem::canonical(argv[++i], missing).string();
        } else {
            std::fprintf(
                stderr, "usage: xmodem_bench [--size BYTES] [--shim LRZSZ_SHIM.so] [--only RUN]\n");
            return 2;
        }
    }
    char tmpl[] = "/tmp/xmodem-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        return 2;
    b.dir = tmpl;
    b.dataPath = b.dir + "/image.bin";
    b.data = writePattern(b.dataPath, size, 12345);

    std::printf("XMODEM at 115200 8N1 (%.0f B/s on the wire), %zu-byte image\n",
                LINE_BYTES_PER_SECOND, size);
    std::printf("line limit: 128-byte blocks %.0f B/s, 1024-byte blocks %.0f B/s\n", lineLimit(128),
                lineLimit(1024));
    auto wanted = [&](const char* name) { return only.empty() || only == name; };
    const Run ours = wanted("ours") ? b.oursToOurs() : Run{};
    if (wanted("ours"))
        print(ours, size);
    const bool lz = haveLrzsz();
    const Run oursRx = lz && wanted("ours-rx") ? b.oursToRx() : Run{};
    if (lz && wanted("ours-rx"))
        print(oursRx, size);
    const Run sxOurs = lz && wanted("sx-ours") ? b.sxToOurs(false) : Run{};
    const Run sxkOurs = lz && wanted("sxk-ours") ? b.sxToOurs(true) : Run{};
    const Run sxRx = lz && wanted("sx-rx") ? b.sxToRx(false) : Run{};
    const Run sxkRx = lz && wanted("sxk-rx") ? b.sxToRx(true) : Run{};
    for (const Run* r : {&sxOurs, &sxkOurs, &sxRx, &sxkRx})
        if (!r->name.empty())
            print(*r, size);
    if (!lz)
        std::printf("lrzsz (sx/rx) not installed: comparison skipped\n");
    if (lz && only.empty())
        std::printf("ours/lrzsz, 128-byte send: %.3f   128-byte receive: %.3f   1024-byte receive: "
                    "%.3f\n",
                    perSecond(ours, size) / perSecond(sxRx, size),
                    perSecond(sxOurs, size) / perSecond(sxRx, size),
                    perSecond(sxkOurs, size) / perSecond(sxkRx, size));
    if (!only.empty())
        return 0;

    // Memory: the receiver holds one block whatever the size.
    b.rate = 0;
    const std::size_t bigSize = 8 * 1024 * 1024;
    b.data = pattern(bigSize, 12345);
    const Run big = b.oursToOurs();
    std::printf("unpaced %zu-byte transfer ours -> ours: %s, receiver peak RSS %ld KiB (256 KiB "
                "run: %ld KiB)\n",
                bigSize, big.ok ? "ok" : "FAIL", big.rssKb, ours.rssKb);

    if (std::getenv("XMODEM_BENCH_DEBUG") == nullptr) {
        std::error_code ignored;
        std::filesystem::remove_all(b.dir, ignored);
    }
    return ours.ok && big.ok ? 0 : 1;
}
