#include "tests/support/process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace {

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> result;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& x : extra)
            if (x.substr(0, x.find('=')) == name)
                replaced = true;
        if (!replaced)
            result.push_back(entry);
    }
    result.insert(result.end(), extra.begin(), extra.end());
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> p;
    for (auto& s : strings)
        p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

int decodeStatus(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// Starts argv with stdin from /dev/null and the given descriptors as stdout/stderr (or
// inherited when -1). Returns the pid.
int spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int outFd,
          int errFd, const int* closeFds, int nClose) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    if (errFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    for (int i = 0; i < nClose; ++i)
        posix_spawn_file_actions_addclose(&actions, closeFds[i]);
    std::vector<std::string> args = argv;
    std::vector<std::string> envs = mergedEnvironment(env);
    auto argp = pointers(args);
    auto envp = pointers(envs);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    return pid;
}

// Reads the child's standard output and error until both end (a terminal's master reports its
// end as EIO once the child is gone), kills it after `timeoutSeconds`, and reaps it.
ProcessResult collect(int pid, int outFd, int errFd, std::chrono::steady_clock::time_point start,
                      double timeoutSeconds) {
    ProcessResult r;
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (elapsed > timeoutSeconds) {
            r.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, 100) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0)
            close(f.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    r.exitCode = decodeStatus(status);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return r;
}

// A raw pseudo-terminal of the given width; returns the master, the slave in `slave`.
int openTerminal(int columns, int& slave) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        throw std::runtime_error("no pseudo-terminal");
    const char* name = ptsname(master);
    slave = name == nullptr ? -1 : open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0)
        throw std::runtime_error("cannot open the pseudo-terminal's slave");
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    winsize ws{};
    ws.ws_row = 24;
    ws.ws_col = static_cast<unsigned short>(columns);
    ioctl(slave, TIOCSWINSZ, &ws);
    return master;
}

} // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         double timeoutSeconds) {
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const int closeFds[] = {outPipe[0], errPipe[0]};
    const auto start = std::chrono::steady_clock::now();
    const int pid = spawn(argv, env, outPipe[1], errPipe[1], closeFds, 2);
    close(outPipe[1]);
    close(errPipe[1]);
    return collect(pid, outPipe[0], errPipe[0], start, timeoutSeconds);
}

ProcessResult runProcessOnTerminal(const std::vector<std::string>& argv,
                                   const std::vector<std::string>& env, double timeoutSeconds,
                                   int columns, bool outputStopped) {
    int slave = -1;
    const int master = openTerminal(columns, slave);
    if (outputStopped)
        tcflow(slave, TCOOFF);
    int outPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const int closeFds[] = {outPipe[0], master};
    const auto start = std::chrono::steady_clock::now();
    const int pid = spawn(argv, env, outPipe[1], slave, closeFds, 2);
    close(outPipe[1]);
    // Only the child holds the slave now, so the master reports its end once the child and
    // anything it started are gone.
    close(slave);
    return collect(pid, outPipe[0], master, start, timeoutSeconds);
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv,
                                     const std::vector<std::string>& env) {
    int outPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const int closeFds[] = {outPipe[0]};
    pid = spawn(argv, env, outPipe[1], -1, closeFds, 1);
    close(outPipe[1]);
    stdoutFd = outPipe[0];
}

BackgroundProcess::~BackgroundProcess() {
    stop();
}

bool BackgroundProcess::readLine(std::string& line, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        const auto nl = pending_.find('\n');
        if (nl != std::string::npos) {
            line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0 || stdoutFd < 0)
            return false;
        pollfd p{stdoutFd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        char buf[1024];
        const ssize_t n = read(stdoutFd, buf, sizeof buf);
        if (n <= 0)
            return false;
        pending_.append(buf, static_cast<size_t>(n));
    }
}

int BackgroundProcess::stop() {
    int result = -1;
    if (pid > 0) {
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        result = decodeStatus(status);
        pid = -1;
    }
    if (stdoutFd >= 0) {
        close(stdoutFd);
        stdoutFd = -1;
    }
    return result;
}

bool haveLrzsz() {
    return std::system("command -v sx >/dev/null && command -v rx >/dev/null") == 0;
}
