// Whole transfers through a model of the module's USB-serial adapter (AdapterModel in
// bench/paced_relay.h) on a paced 115200 8N1 line: the shipped programs against lrzsz on the same
// model, and the shipped programs on the ideal line, each the median of several runs.
//
//   cmake --build <dir> --target bench-adapter
//   <dir>/bench/adapter_bench [--size BYTES] [--runs N] [--only update|restore|backup|backup1k]
//
// The program runs in the sandbox runner with /dev/ttyS4 on side A, preloaded with the serial
// flags shim (which tells the model whether the port has ASYNC_LOW_LATENCY set); the simulated
// module plays on side B. lrzsz's sx or rx takes the program's place on side A, after the
// command that puts the module into its XMODEM role was sent by hand; they leave the flag alone.
// The data phase runs from the first block header to the last block's answer.
//
// Where it may (root), the benchmark and everything it starts run at a real-time priority, so
// that other work on the machine does not enter the figures: they are about the line, the
// adapter and the programs' turnarounds, as on a hub that has nothing else to do meanwhile.
// --no-realtime leaves the priority as it is.
#include "bench/paced_relay.h"
#include "bench/phase_clock.h"
#include "link/frames.h"
#include "radioflash/radioflash.h"
#include "tests/support/data.h"
#include "tests/support/process.h"
#include "tests/support/sandbox.h"
#include "tests/support/tempdir.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <linux/serial.h>
#include <sched.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

enum class Kind { Update, Restore, Backup };
enum class Side { Ours, Lrzsz };

struct Transfer {
    const char* name;
    const char* label; // for the table
    Kind kind;
    int block;
};

constexpr Transfer TRANSFERS[] = {
    {"update", "update (radioflash -f / sx)", Kind::Update, 128},
    {"restore", "restore (pairvault -restore / sx)", Kind::Restore, 128},
    {"backup", "backup, 128-byte blocks (-backup / rx)", Kind::Backup, 128},
    {"backup1k", "backup, 1 KiB blocks (-backup / rx)", Kind::Backup, 1024},
};

constexpr int REALTIME_PRIORITY = 10; // above every ordinary process, below the kernel's own

struct Setup {
    std::size_t size = 128 * 1024;
    int runs = 3;
    // Absolute paths: the programs run in other directories.
    std::string flagsShim;
    std::string lrzszShim;
};

// The serial flags the shim keeps for the program's port; read by the relay's thread.
struct FlagsFile {
    std::string path;
    int fd = -1;
    explicit FlagsFile(std::string p) : path(std::move(p)) {
        const int zero = 0;
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0 && pwrite(fd, &zero, sizeof zero, 0) != static_cast<ssize_t>(sizeof zero))
            std::fprintf(stderr, "adapter_bench: cannot write %s\n", path.c_str());
    }
    ~FlagsFile() {
        if (fd >= 0)
            close(fd);
    }
    FlagsFile(const FlagsFile&) = delete;
    FlagsFile& operator=(const FlagsFile&) = delete;
    bool lowLatency() const {
        int flags = 0;
        return pread(fd, &flags, sizeof flags, 0) == static_cast<ssize_t>(sizeof flags) &&
               (flags & static_cast<int>(ASYNC_LOW_LATENCY)) != 0;
    }
};

// What the programs send to put the module into its XMODEM role, with `zeros` zero bytes of
// payload.
void sendCommand(int fd, std::uint8_t code, std::size_t zeros) {
    const std::vector<std::uint8_t> payload(zeros, 0x00);
    std::vector<std::uint8_t> frame(payload.size() + FRAME_OVERHEAD);
    const std::size_t len = buildFrame(code, payload, frame);
    if (write(fd, frame.data(), len) != static_cast<ssize_t>(len))
        std::fprintf(stderr, "adapter_bench: cannot write a command\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
}

// Share of the line limit in the data phase; 0 when the run failed, -1 when it cannot run here.
double runOnce(const Setup& s, const Transfer& t, Side side, bool adapter) {
    TempDir dir;
    const std::vector<std::uint8_t> data = pattern(s.size, 2026);
    const std::string dataPath = dir / "data.bin";
    const std::string table = dir / "table.bin";
    const std::string received = dir / "received.bin";
    const std::string backup = dir / "backup.bin";
    writeFile(t.kind == Kind::Backup ? table : dataPath, data);
    FlagsFile flags(dir / "flags");

    PhaseClock clock;
    clock.dataDir = t.kind == Kind::Backup ? RelayDir::BtoA : RelayDir::AtoB;
    clock.armed = t.kind != Kind::Backup;
    RelayOptions options;
    clock.tapInto(options);
    options.adapter.enabled = adapter;
    options.adapter.lowLatency = [&flags] { return flags.lowLatency(); };
    PacedRelay relay(options);
    if (!relay.ok())
        return 0;
    std::vector<std::string> simOptions{"--table", table, "--image", received};
    if (t.block == 1024)
        simOptions.insert(simOptions.end(), {"--xm-block", "1024"});
    SimModule sim(dir, simOptions, relay.pathB);
    if (!sim.started())
        return 0;

    bool ok = false;
    if (side == Side::Ours) {
        std::vector<std::string> command;
        if (t.kind == Kind::Update)
            command = {programPath("radioflash"), "-f", dataPath};
        else
            command = {programPath("pairvault"), t.kind == Kind::Restore ? "-restore" : "-backup",
                       t.kind == Kind::Restore ? dataPath : backup};
        command.insert(command.end(), {"-ohub", "-l", dir / "run.log"});
        relay.releaseSlaveA();
        const ProcessResult run =
            runProcess(sandboxArgv(relay.pathA, "", {}, command),
                       {"LD_PRELOAD=" + s.flagsShim, "SERIAL_FLAGS_SHIM=" + flags.path}, 600);
        if (run.exitCode == 77)
            return -1;
        ok = run.exitCode == (t.kind == Kind::Update ? 0 : 1) && run.out == "SUCCESS\n";
    } else {
        const int port = relay.slaveA;
        if (t.kind == Kind::Update) {
            sendCommand(port, CMD_UPDATE_PREPARE, 0);
            sendCommand(port, CMD_UPDATE_START, UPDATE_START_ZEROS);
        } else {
            sendCommand(port, t.kind == Kind::Restore ? CMD_RESTORE : CMD_BACKUP, 0);
        }
        tcflush(port, TCIFLUSH); // the module's replies (and its first 'C') are not lrzsz's
        std::vector<std::string> env;
        std::vector<std::string> argv{"sx", "-q", dataPath};
        if (t.kind == Kind::Backup) {
            argv = {"rx", "-q", "-c", "backup.bin"}; // rx takes no path, only a name
            env = {"LD_PRELOAD=" + s.lrzszShim};
        }
        TtyProgram peer(argv, port, dir.path, env, dir / "lrzsz.err");
        ok = peer.wait(600) == 0;
    }
    sim.process().stop();
    relay.stop();

    if (t.kind == Kind::Backup)
        ok = ok && startsWith(readFile(backup), data);
    else if (t.kind == Kind::Restore)
        ok = ok && startsWith(readFile(table), data);
    else
        ok = ok && startsWith(readFile(received), data);
    std::lock_guard<std::mutex> lock(clock.mutex);
    if (!ok || !clock.firstHeader || !clock.answer) {
        if (std::getenv("ADAPTER_BENCH_DEBUG") != nullptr)
            std::fprintf(stderr, "%s failed: %s\n", t.name, readText(dir / "lrzsz.err").c_str());
        return 0;
    }
    const double seconds =
        std::chrono::duration<double>(*clock.answer - *clock.firstHeader).count();
    const double payload = static_cast<double>(clock.headers) * t.block;
    if (std::getenv("ADAPTER_BENCH_DEBUG") != nullptr)
        std::fprintf(stderr, "%s %s: %ld blocks in %.3f s, turnaround rx %.2f ms tx %.2f ms\n",
                     t.name, side == Side::Ours ? "ours" : "lrzsz", clock.headers, seconds,
                     1000 * clock.receiverTurn / static_cast<double>(std::max(1L, clock.turns)),
                     1000 * clock.senderTurn / static_cast<double>(std::max(1L, clock.turns)));
    return payload / seconds / lineLimit(t.block);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    Setup s;
    std::string only;
    bool realtime = true;
    bool usage = false;
    std::error_code missing; // a shim that is not there leaves its path empty: usage
    for (int i = 1; i < argc && !usage; ++i) {
        const std::string opt = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (opt == "--no-realtime")
            realtime = false;
        else if (value == nullptr)
            usage = true;
        else if (opt == "--size")
            s.size = std::strtoul(argv[++i], nullptr, 10);
        else if (opt == "--runs")
            s.runs = std::max(1, std::atoi(argv[++i]));
        else if (opt == "--only")
            only = argv[++i];
        else if (opt == "--flags-shim")
            s.flagsShim = std::filesystem::canonical(argv[++i], missing).string();
        else if (opt == "--lrzsz-shim")
            s.lrzszShim = std::filesystem::canonical(argv[++i], missing).string();
        else
            usage = true;
    }
    if (usage || s.flagsShim.empty() || s.lrzszShim.empty()) {
        std::fprintf(stderr, "usage: adapter_bench --flags-shim SO --lrzsz-shim SO [--size BYTES] "
                             "[--runs N] [--only update|restore|backup|backup1k] "
                             "[--no-realtime]\n");
        return 2;
    }
    if (!haveLrzsz()) {
        std::printf("adapter_bench: lrzsz (sx, rx) not installed\n");
        return 1;
    }
    if (realtime) {
        sched_param priority{};
        priority.sched_priority = REALTIME_PRIORITY;
        realtime = sched_setscheduler(0, SCHED_FIFO, &priority) == 0;
    }
    const AdapterModel model;
    std::printf("%zu-byte transfers, 115200 8N1; adapter model: %zu-byte packets, latency timer "
                "%lld ms (%lld ms with ASYNC_LOW_LATENCY), %lld ms USB frames; median of %d\n",
                s.size, model.packetPayload,
                static_cast<long long>(model.latencyTimer.count() / 1000),
                static_cast<long long>(model.lowLatencyTimer.count() / 1000),
                static_cast<long long>(model.frame.count() / 1000), s.runs);
    std::printf("real-time priority: %s\n", realtime ? "yes" : "no (other load counts)");
    std::printf("share of the line limit in the data phase (128-byte blocks %.0f B/s, 1 KiB "
                "%.0f B/s)\n\n",
                lineLimit(128), lineLimit(1024));

    struct Row {
        const Transfer* t;
        std::vector<double> ours, lrzsz, ideal;
    };
    std::vector<Row> rows;
    for (const Transfer& t : TRANSFERS)
        if (only.empty() || only == t.name)
            rows.push_back({&t, {}, {}, {}});
    bool allOk = true;
    for (int run = 1; run <= s.runs; ++run) {
        for (Row& r : rows) {
            const double ours = runOnce(s, *r.t, Side::Ours, true);
            if (ours < 0) {
                std::printf("adapter_bench: skipped, the sandbox cannot run here\n");
                return 0;
            }
            const double lrzsz = runOnce(s, *r.t, Side::Lrzsz, true);
            const double ideal = runOnce(s, *r.t, Side::Ours, false);
            std::printf("run %d %-9s adapter: ours %.3f lrzsz %.3f   ideal line: ours %.3f\n", run,
                        r.t->name, ours, lrzsz, ideal);
            std::fflush(stdout);
            allOk = allOk && ours > 0 && lrzsz > 0 && ideal > 0;
            r.ours.push_back(ours);
            r.lrzsz.push_back(lrzsz);
            r.ideal.push_back(ideal);
        }
    }
    std::printf("\n| transfer | adapter model: ours | lrzsz | ours / lrzsz | ideal line: ours |\n"
                "|---|---:|---:|---:|---:|\n");
    for (const Row& r : rows) {
        const double ours = median(r.ours);
        const double lrzsz = median(r.lrzsz);
        std::printf("| %s | %.3f | %.3f | %.2fx | %.3f |\n", r.t->label, ours, lrzsz,
                    lrzsz > 0 ? ours / lrzsz : 0.0, median(r.ideal));
    }
    return allOk ? 0 : 1;
}
