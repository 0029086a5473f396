#include "bench/paced_relay.h"

#include <cerrno>
#include <csignal>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

bool openPair(int& master, int& slave, std::string& path) {
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    cfsetispeed(&raw, B115200);
    cfsetospeed(&raw, B115200);
    if (openpty(&master, &slave, name, &raw, nullptr) != 0)
        return false;
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    // Not inherited: a child holding the far end would make the programs refuse the port as
    // open in another process. A program given a terminal gets it by dup2.
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    path = name;
    return true;
}

} // namespace

PacedRelay::PacedRelay(RelayOptions options) : options_(std::move(options)) {
    if (!openPair(masterA_, slaveA, pathA) || !openPair(masterB_, slaveB, pathB))
        return;
    threads_[0] = std::thread([this] { run(RelayDir::AtoB); });
    threads_[1] = std::thread([this] { run(RelayDir::BtoA); });
}

PacedRelay::~PacedRelay() {
    stop();
    for (int fd : {slaveA, slaveB, masterA_, masterB_})
        if (fd >= 0)
            close(fd);
}

void PacedRelay::releaseSlaveA() {
    if (slaveA >= 0)
        close(slaveA);
    slaveA = -1;
}

void PacedRelay::stop() {
    stop_ = true;
    for (auto& t : threads_)
        if (t.joinable())
            t.join();
}

void PacedRelay::hangUp() {
    stop();
    for (int* fd : {&masterA_, &masterB_}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

void PacedRelay::run(RelayDir dir) {
    using std::chrono::nanoseconds;
    const int from = dir == RelayDir::AtoB ? masterA_ : masterB_;
    const int to = dir == RelayDir::AtoB ? masterB_ : masterA_;
    const auto byteTime = options_.bytesPerSecond > 0
                              ? std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(1.0 / options_.bytesPerSecond))
                              : Clock::duration::zero();
    struct Pending {
        std::uint8_t byte;
        Clock::time_point due;
    };
    std::deque<Pending> queue;                 // due: when it reaches the destination side
    Clock::time_point lineFree = Clock::now(); // when the last queued byte has left the wire
    std::vector<std::uint8_t> out;
    std::uint8_t buf[4096];
    std::vector<std::uint8_t> batch;

    // The adapter on side A (see AdapterModel): what the program writes waits for a USB frame,
    // what is sent to it waits in the chip for a packet.
    const AdapterModel& usb = options_.adapter;
    const bool framedOut = usb.enabled && dir == RelayDir::AtoB;
    const bool chipIn = usb.enabled && dir == RelayDir::BtoA;
    const auto frame = std::chrono::duration_cast<Clock::duration>(usb.frame);
    auto nextFrame = [&](Clock::time_point t) {
        return epoch_ + ((t - epoch_) / frame + 1) * frame;
    };
    std::deque<Pending> wire;       // due: when it is off the line and in the chip
    std::vector<std::uint8_t> held; // in the chip, not yet sent
    Clock::time_point timerStart = epoch_;
    auto timerPeriod = [&]() -> Clock::duration {
        return usb.lowLatency && usb.lowLatency() ? usb.lowLatencyTimer : usb.latencyTimer;
    };
    auto sendPacket = [&](Clock::time_point at) {
        const Clock::time_point arrival = nextFrame(at);
        for (std::uint8_t b : held)
            queue.push_back({b, arrival});
        held.clear();
        timerStart = at;
    };
    // Timer expiries up to `t`: the first sends what is held, the rest are empty packets.
    auto expireUntil = [&](Clock::time_point t) {
        const Clock::duration period = timerPeriod();
        if (t < timerStart + period)
            return;
        if (!held.empty())
            sendPacket(timerStart + period);
        if (t >= timerStart + period)
            timerStart += (t - timerStart) / period * period;
    };
    auto runChip = [&](Clock::time_point now) {
        for (; !wire.empty() && wire.front().due <= now; wire.pop_front()) {
            expireUntil(wire.front().due);
            held.push_back(wire.front().byte);
            if (held.size() >= usb.packetPayload)
                sendPacket(wire.front().due);
        }
        expireUntil(now);
    };

    while (!stop_) {
        // Sleep until input comes or the next queued byte or packet is due (at most 20 ms, to
        // see stop_).
        nanoseconds wait = std::chrono::milliseconds(20);
        const auto before = Clock::now();
        auto until = [&](Clock::time_point t) {
            wait = std::max(nanoseconds(0),
                            std::min(wait, std::chrono::ceil<nanoseconds>(t - before)));
        };
        if (!queue.empty())
            until(queue.front().due);
        if (!wire.empty())
            until(wire.front().due);
        if (!held.empty())
            until(timerStart + timerPeriod());
        pollfd p{from, POLLIN, 0};
        const timespec ts{0, static_cast<long>(wait.count())};
        const int n = ppoll(&p, 1, &ts, nullptr);
        if (n > 0 && (p.revents & POLLIN) != 0) {
            const ssize_t got = read(from, buf, sizeof buf);
            const auto now = Clock::now();
            const auto start = framedOut ? nextFrame(now) : now;
            for (ssize_t i = 0; i < got; ++i) {
                out.assign(1, buf[i]);
                if (options_.filter)
                    options_.filter(dir, buf[i], out);
                for (std::uint8_t b : out) {
                    lineFree = std::max(lineFree, start) + byteTime;
                    (chipIn ? wire : queue).push_back({b, lineFree});
                }
            }
        } else if (n > 0) {
            // The slave side is closed for the moment (a program reopening the port).
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const auto now = Clock::now();
        if (chipIn)
            runChip(now);
        batch.clear();
        while (!queue.empty() && queue.front().due <= now) {
            batch.push_back(queue.front().byte);
            if (options_.tap)
                options_.tap(dir, queue.front().byte, queue.front().due);
            queue.pop_front();
        }
        std::size_t done = 0;
        while (done < batch.size() && !stop_) {
            const ssize_t w = write(to, batch.data() + done, batch.size() - done);
            if (w > 0)
                done += static_cast<std::size_t>(w);
            else if (w < 0 && errno != EAGAIN && errno != EINTR && errno != EIO)
                break;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        delivered[static_cast<int>(dir)] += done;
    }
}

TtyProgram::TtyProgram(const std::vector<std::string>& argv, int ttyFd, const std::string& cwd,
                       const std::vector<std::string>& env, const std::string& errPath) {
    std::vector<std::string> envs;
    for (char** e = environ; *e != nullptr; ++e)
        envs.emplace_back(*e);
    envs.insert(envs.end(), env.begin(), env.end());
    std::vector<char*> argp;
    std::vector<std::string> args = argv;
    for (auto& a : args)
        argp.push_back(a.data());
    argp.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : envs)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ttyFd, 0);
    posix_spawn_file_actions_adddup2(&actions, ttyFd, 1);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.empty() ? "/dev/null" : errPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    pid_t p = -1;
    if (posix_spawnp(&p, argp[0], &actions, nullptr, argp.data(), envp.data()) == 0)
        pid = p;
    posix_spawn_file_actions_destroy(&actions);
}

TtyProgram::~TtyProgram() {
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

int TtyProgram::wait(double seconds) {
    if (pid <= 0)
        return -1;
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            pid = -1;
            if (WIFEXITED(status))
                return WEXITSTATUS(status);
            return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        }
        if (Clock::now() > deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}
