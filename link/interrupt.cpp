#include "link/interrupt.h"

#include "link/os.h"

#include <fcntl.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr std::array<int, 3> INTERRUPTING = {SIGHUP, SIGINT, SIGTERM};
constexpr long EXIT_WATCHDOG_MS = 500;
constexpr long EXIT_WATCHDOG_REPEAT_MS = 100; // every blocked call after the first

volatile std::sig_atomic_t caught = 0;
bool ending = false;

struct Cleanup {
    InterruptCleanup fn;
    void* arg;
};
std::array<Cleanup, 8> cleanups{}; // the run log, the port, a backup's file, a transfer
std::size_t registered = 0;

// Records the first signal only: a second one, or two together, end the run the same way.
void recordSignal(int sig) {
    if (caught == 0)
        caught = sig;
}

// Nothing to do: installed instead of SIG_IGN so that children started later get the default
// action back on exec, while our own writes to a reader that has gone just fail with EPIPE.
void ignoreSignal(int /*sig*/) {}

void install(int sig, void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART (sa_flags stays 0): a blocking call that the signal interrupts returns
    // EINTR, and the wait around it looks at the record at once.
    sigaction(sig, &sa, nullptr);
}

void keepStandardDescriptorsOpen() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free number is `fd` itself. Should /dev/null be missing, a directory
        // still holds the number, and every write to it fails.
        int opened = open("/dev/null", O_RDWR);
        if (opened < 0)
            opened = open("/", O_RDONLY | O_DIRECTORY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

[[noreturn]] void dieBy(int sig) {
    for (const int other : INTERRUPTING)
        if (other != sig)
            std::signal(other, SIG_IGN);
    std::signal(sig, SIG_DFL);
    sigset_t only{};
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
    // Not reached: the default action of every interrupting signal ends the process.
    _exit(128 + sig);
}

// A call that blocks on the way out (a run log or stdout pipe nobody reads, a terminal stopped
// with Ctrl-S, a drain on a wedged port) is cut short by the alarm, and so is every one after
// it, sooner, so the process is still gone in time.
void armExitWatchdog() {
    install(SIGALRM, ignoreSignal);
    itimerval alarm{};
    alarm.it_value.tv_usec = EXIT_WATCHDOG_MS * 1000;
    alarm.it_interval.tv_usec = EXIT_WATCHDOG_REPEAT_MS * 1000;
    setitimer(ITIMER_REAL, &alarm, nullptr);
}

} // namespace

void setUpProcess() {
    keepStandardDescriptorsOpen();
    for (const int sig : INTERRUPTING)
        install(sig, recordSignal);
    install(SIGPIPE, ignoreSignal);
    // A signal that came after the last wait still ends the run by that signal.
    std::atexit(endIfInterrupted);
}

void endIfInterrupted() {
    const int sig = caught;
    // A clean-up that writes a byte or a log line passes here again: it returns at once.
    if (sig == 0 || ending)
        return;
    ending = true;
    armExitWatchdog();
    while (registered > 0) {
        const Cleanup c = cleanups[--registered];
        c.fn(c.arg);
    }
    // Lines printed before the signal are not lost; nothing new goes to standard output.
    std::fflush(stdout);
    dieBy(sig);
}

void sleepInterruptibly(long us) {
    constexpr long STEP_US = INTERRUPT_CHECK_MS * 1000;
    const timespec start = osNow();
    for (;;) {
        endIfInterrupted();
        const long left = us - microsSince(start);
        if (left <= 0)
            return;
        // Cut short by a signal, the step ends early and the record is looked at above.
        const timespec step{0, (left < STEP_US ? left : STEP_US) * 1000L};
        osSleep(step, nullptr);
    }
}

void pushInterruptCleanup(InterruptCleanup fn, void* arg) {
    for (std::size_t i = 0; i < registered; ++i)
        if (cleanups[i].fn == fn && cleanups[i].arg == arg)
            return;
    if (registered == cleanups.size())
        std::abort();
    cleanups[registered++] = {fn, arg};
}

void popInterruptCleanup(const void* arg) {
    for (std::size_t i = registered; i > 0; --i) {
        if (cleanups[i - 1].arg != arg)
            continue;
        for (; i < registered; ++i)
            cleanups[i - 1] = cleanups[i];
        --registered;
        return;
    }
}

int interruptingSignal() {
    return caught;
}
