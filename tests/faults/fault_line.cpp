#include "tests/faults/fault_line.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

double childCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_CHILDREN, &ru);
    const auto secs = [](const timeval& tv) {
        return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
    };
    return secs(ru.ru_utime) + secs(ru.ru_stime);
}

} // namespace

FaultyLine::FaultyLine(const FaultPlan& plan) : plan_(plan) {
    // One generator per direction: the two relay threads never share one, and the faults of
    // each direction depend only on the seed and that direction's bytes.
    rng_[0].seed(plan.seed * 2 + 1);
    rng_[1].seed(plan.seed * 2 + 2);
    RelayOptions opt;
    opt.filter = [this](RelayDir dir, std::uint8_t byte, std::vector<std::uint8_t>& out) {
        filter(dir, byte, out);
    };
    relay_ = std::make_unique<PacedRelay>(std::move(opt));
    relay_->releaseSlaveA();
}

FaultyLine::~FaultyLine() {
    stopWatch_ = true;
    if (watcher_.joinable())
        watcher_.join();
    relay_.reset();
}

std::uint64_t FaultyLine::faults() const {
    std::uint64_t n = 0;
    for (const auto& c : counts_)
        n += c;
    return n;
}

void FaultyLine::unplugAfter(RelayDir dir, std::uint64_t bytes) {
    unplugBytes_ = bytes;
    unplugDir_ = static_cast<int>(dir);
    watcher_ = std::thread([this, dir, bytes] {
        while (!stopWatch_) {
            if (relay_->delivered[static_cast<int>(dir)] >= bytes) {
                relay_->hangUp();
                unplugged_ = true;
                ++counts_[F_UNPLUG];
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
}

void FaultyLine::filter(RelayDir dir, std::uint8_t byte, std::vector<std::uint8_t>& out) {
    const auto d = static_cast<std::size_t>(dir);
    auto& rng = rng_[d];
    std::uniform_real_distribution<double> uni(0.0, 1.0);
    const auto randomByte = [&rng] { return static_cast<std::uint8_t>(rng() & 0xFF); };

    // Every draw is made for every byte, so the faults of a byte do not shift the draws of
    // the bytes after it.
    const double pFault = uni(rng);
    const double pBurst = uni(rng);
    const double pStall = uni(rng);
    const std::uint64_t pick = rng();

    // Past the unplug point nothing gets through, however late the watcher pulls the plug on
    // a loaded machine.
    if (const int u = unplugDir_; u >= 0 && relay_->delivered[u] >= unplugBytes_) {
        out.clear();
        return;
    }
    if (burstLeft_[d] > 0) {
        --burstLeft_[d];
        out.assign(1, randomByte());
        return;
    }
    if (plan_.stallRate > 0 && pStall < plan_.stallRate && stalls_[d] < plan_.maxStalls) {
        ++stalls_[d];
        ++counts_[F_STALL];
        // The relay thread of this direction stops, so nothing moves this way meanwhile.
        std::this_thread::sleep_for(std::chrono::duration<double>(plan_.stallSeconds));
    }
    if (plan_.burstRate > 0 && pBurst < plan_.burstRate) {
        ++counts_[F_BURST];
        burstLeft_[d] = 8 + static_cast<int>(pick % 57);
        out.assign(1, randomByte());
        return;
    }
    if (plan_.rate <= 0 || pFault >= plan_.rate)
        return;
    std::vector<FaultKind> kinds;
    if (plan_.drop)
        kinds.push_back(F_DROP);
    if (plan_.flip)
        kinds.push_back(F_FLIP);
    if (plan_.dup)
        kinds.push_back(F_DUP);
    if (plan_.junk)
        kinds.push_back(F_JUNK);
    if (kinds.empty())
        return;
    const FaultKind k = kinds[static_cast<std::size_t>(pick % kinds.size())];
    ++counts_[k];
    switch (k) {
    case F_DROP:
        out.clear();
        break;
    case F_FLIP:
        out.assign(1, static_cast<std::uint8_t>(byte ^ (1U << ((pick >> 8) % 8))));
        break;
    case F_DUP:
        out.assign(2, byte);
        break;
    default:
        out.assign({byte, randomByte()});
        break;
    }
}

Bench::Bench(std::vector<std::string> simOptions, std::vector<std::uint8_t> moduleTable,
             bool keepImage)
    : table(std::move(moduleTable)) {
    if (!table.empty()) {
        writeFile(dir / "table.bin", table);
        simOptions.insert(simOptions.end(), {"--table", dir / "table.bin"});
    }
    if (keepImage)
        simOptions.insert(simOptions.end(), {"--image", dir / "image.bin"});
    sim = std::make_unique<SimModule>(dir, simOptions, line.modulePath());
}

bool ToolRun::sanitizerReport() const {
    return exitCode == 86 || err.find("Sanitizer") != std::string::npos ||
           err.find("runtime error:") != std::string::npos;
}

ToolRun runTool(const std::string& program, const TempDir& dir, const std::string& port,
                const std::vector<std::string>& args, double timeoutSeconds,
                const std::vector<std::string>& sandboxOptions,
                const std::vector<std::string>& wrapper, const std::vector<std::string>& env) {
    const auto argv = shippedArgv(program, port, dir / "varlog", args, sandboxOptions, wrapper);

    // Children's times reach us when they are reaped: the delta is this run's whole tree
    // (sandbox shell, unshare, the program), and nothing else of ours ends meanwhile.
    const double cpuBefore = childCpuSeconds();
    std::vector<std::string> fullEnv = kSanitizerEnv;
    fullEnv.insert(fullEnv.end(), env.begin(), env.end());
    ProcessResult r = runProcess(argv, fullEnv, timeoutSeconds);
    return {std::move(r), childCpuSeconds() - cpuBefore};
}

int countOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

bool waitFor(const std::function<bool()>& ready, double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void Tally::report() const {
    char line[512];
    std::snprintf(line, sizeof line,
                  "FAULTS %-26s runs=%d faults=%llu successes=%d failures=%d silent=%d hangs=%d "
                  "slowest=%.1fs",
                  group.c_str(), runs, static_cast<unsigned long long>(faults), successes, failures,
                  silent, hangs, slowest);
    std::printf("%s\n", line);
    std::fflush(stdout);
    const std::string dir = std::string(ZB_BIN_DIR) + "/tests/faults/figures";
    mkdir(dir.c_str(), 0755);
    std::ofstream(dir + "/" + group) << line << "\n";
}

namespace {

// /proc/<pid>/stat, or "" once the process is gone (reading it then fails with ESRCH).
std::string procStat(int pid) {
    char buf[1024];
    const int fd = open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    const ssize_t n = read(fd, buf, sizeof buf);
    close(fd);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

} // namespace

// The pid of the running `program` started (through the sandbox) by this test process.
int findTool(const std::string& program) {
    DIR* d = opendir("/proc");
    if (d == nullptr)
        return -1;
    int found = -1;
    while (const dirent* e = readdir(d)) {
        int pid = std::atoi(e->d_name);
        if (pid <= 0)
            continue;
        const std::string stat = procStat(pid);
        const auto from = stat.find('(');
        const auto to = stat.rfind(')');
        if (from == std::string::npos || to == std::string::npos ||
            stat.substr(from + 1, to - from - 1) != program)
            continue;
        for (int level = 0, p = pid; level < 4 && p > 1; ++level) {
            const std::string s = procStat(p);
            const auto c = s.rfind(')');
            if (c == std::string::npos)
                break;
            p = std::atoi(s.c_str() + c + 4); // ") S <ppid>"
            if (p == getpid()) {
                found = pid;
                break;
            }
        }
    }
    closedir(d);
    return found;
}

bool gone(int pid) {
    const std::string stat = procStat(pid);
    const auto c = stat.rfind(')');
    return c == std::string::npos || stat.compare(c + 2, 1, "Z") == 0;
}
