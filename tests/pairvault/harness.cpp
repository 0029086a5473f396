#include "tests/pairvault/harness.h"

#include <chrono>
#include <regex>
#include <sstream>
#include <sys/stat.h>
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

std::string pairvaultPath() {
    return std::string(ZB_BIN_DIR) + "/pairvault/pairvault";
}

SimModule::SimModule(const TempDir& dir, const std::vector<std::string>& options)
    : recordPath(dir / "sim.rec") {
    std::vector<std::string> argv = {std::string(ZB_BIN_DIR) + "/sim/modulesim", "--record",
                                     recordPath};
    argv.insert(argv.end(), options.begin(), options.end());
    proc_ = std::make_unique<BackgroundProcess>(argv);
    std::string line;
    if (proc_->readLine(line, 10))
        pty = line;
}

std::vector<std::string> SimModule::requests() const {
    std::vector<std::string> rx;
    for (const auto& line : lines(readText(recordPath)))
        if (line.rfind("RX ", 0) == 0)
            rx.push_back(line.substr(3));
    return rx;
}

namespace {

// A sanitizer's own exit status (1) would pass for the program's success.
const std::vector<std::string> kSanitizerEnv = {"ASAN_OPTIONS=exitcode=86",
                                                "UBSAN_OPTIONS=exitcode=86:print_stacktrace=1"};

std::vector<std::string> sandboxArgv(const TempDir& dir, const std::string& pty,
                                     const std::vector<std::string>& args,
                                     const std::vector<std::string>& sandboxOptions,
                                     const std::string& ttyName,
                                     const std::vector<std::string>& wrapper = {}) {
    const std::string varLog = dir / "varlog";
    mkdir(varLog.c_str(), 0755);
    std::vector<std::string> argv = {std::string(ZB_SOURCE_DIR) + "/tools/sandbox"};
    if (!pty.empty()) {
        argv.push_back("--tty");
        argv.push_back(ttyName + "=" + pty);
    }
    argv.push_back("--var-log");
    argv.push_back(varLog);
    argv.insert(argv.end(), sandboxOptions.begin(), sandboxOptions.end());
    argv.push_back("--");
    argv.insert(argv.end(), wrapper.begin(), wrapper.end());
    argv.push_back(pairvaultPath());
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

double since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

} // namespace

ProcessResult runPairvault(const TempDir& dir, const std::string& pty,
                           const std::vector<std::string>& args,
                           const std::vector<std::string>& sandboxOptions,
                           const std::string& ttyName, const std::vector<std::string>& wrapper) {
    return runProcess(sandboxArgv(dir, pty, args, sandboxOptions, ttyName, wrapper), kSanitizerEnv,
                      90);
}

TimedRun runPairvaultTimed(const TempDir& dir, const SimModule& sim,
                           const std::vector<std::string>& args) {
    TimedRun run;
    BackgroundProcess proc(sandboxArgv(dir, sim.pty, args, {}, "ttyS4"), kSanitizerEnv);
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

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}
