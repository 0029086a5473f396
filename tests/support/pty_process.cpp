#include "tests/support/pty_process.h"

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

std::vector<std::string> environmentWith(const std::vector<std::string>& extra) {
    std::vector<std::string> result;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const auto& x : extra)
            replaced = replaced || x.rfind(name, 0) == 0;
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

ProcessResult runProcessOnTerminal(const std::vector<std::string>& argv,
                                   const std::vector<std::string>& env, double timeoutSeconds,
                                   int columns) {
    int slave = -1;
    const int master = openTerminal(columns, slave);
    int outPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, slave, 2);
    std::vector<std::string> args = argv;
    std::vector<std::string> envs = environmentWith(env);
    auto argp = pointers(args);
    auto envp = pointers(envs);
    pid_t pid = -1;
    const auto start = std::chrono::steady_clock::now();
    const int rc = posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    // Only the child holds the slave now, so the master reports its end (EIO) once the child
    // and anything it started are gone.
    close(slave);
    if (rc != 0) {
        close(outPipe[0]);
        close(master);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }

    ProcessResult r;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {master, POLLIN, 0}};
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
    r.exitCode = WIFEXITED(status)     ? WEXITSTATUS(status)
                 : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                       : -1;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return r;
}
