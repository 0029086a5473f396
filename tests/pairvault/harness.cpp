#include "tests/pairvault/harness.h"

#include <chrono>
#include <regex>
#include <sys/wait.h>
#include <unistd.h>

const char* const kUsageText =
    "USAGE: pairvault -backup <file to backup> [-ohub] [-l <log file|stdout|stderr>]\n"
    "       pairvault -restore <file to restore> [-ohub] [-l <log file|stdout|stderr>]\n"
    "       pairvault -reset [-backup <blank backup file>] [-restore <blank backup file>] [-ohub] "
    "[-l <log file|stdout|stderr>]\n"
    "Backup, restore, or reset paired device information.\n"
    "When -reset used with -backup, to create blank backup file at intial startup or firmware "
    "udpate.\n"
    "When -reset used with -restore <blank backup file>, sensors are kept on network after "
    "reset.  Otherwise, sensors will leave from network.\n"
    "Please specify -ohub option for updating Orvane Hub.  Otherwise, output Zigbee device will "
    "be found automatically.\n";

namespace {

double since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

} // namespace

std::vector<std::string> pairvaultArgv(const TempDir& dir, const std::string& pty,
                                       const std::vector<std::string>& args) {
    return shippedArgv("pairvault", pty, dir / "varlog", args);
}

ProcessResult runPairvault(const TempDir& dir, const std::string& pty,
                           const std::vector<std::string>& args,
                           const std::vector<std::string>& sandboxOptions,
                           const std::vector<std::string>& wrapper, const std::string& ttyName) {
    return runProcess(
        shippedArgv("pairvault", pty, dir / "varlog", args, sandboxOptions, wrapper, ttyName),
        kSanitizerEnv, 90);
}

TimedRun runPairvaultTimed(const TempDir& dir, const SimModule& sim,
                           const std::vector<std::string>& args) {
    TimedRun run;
    BackgroundProcess proc(pairvaultArgv(dir, sim.pty, args), kSanitizerEnv);
    const auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point firstRequest{};
    bool seen = false;
    int status = 0;
    for (;;) {
        if (!seen && !sim.requests().empty()) {
            firstRequest = std::chrono::steady_clock::now();
            seen = true;
        }
        if (waitpid(proc.pid, &status, WNOHANG) == proc.pid)
            break;
        if (since(start) > 90) {
            return run; // the destructor stops it
        }
        usleep(10000);
    }
    if (seen)
        run.afterFirstRequest = since(firstRequest);
    proc.pid = -1; // reaped here
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    for (std::string line; proc.readLine(line, 5);)
        run.out += line + "\n";
    return run;
}

std::string defaultLog(const TempDir& dir) {
    return readText(dir / "varlog/pairvault.log");
}

std::string withoutHeader(const std::string& log) {
    const auto nl = log.find('\n');
    return nl == std::string::npos ? std::string() : log.substr(nl + 1);
}

bool hasHeader(const std::string& log) {
    static const std::regex header(
        R"(pairvault: \d{4}/\d\d/\d\d \d\d:\d\d:\d\d [A-Za-z0-9+-]+\n[\s\S]*)");
    return std::regex_match(log, header);
}
