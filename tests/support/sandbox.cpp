#include "tests/support/sandbox.h"

#include <filesystem>
#include <sys/stat.h>

std::string programPath(const std::string& name) {
    if (name == "sim")
        return std::string(ZB_BIN_DIR) + "/sim/modulesim";
    return std::string(ZB_BIN_DIR) + "/" + name + "/" + name;
}

const std::string kSandboxPath = std::string(ZB_SOURCE_DIR) + "/tools/sandbox";

// A test library preloaded into a program (built without sanitizers) comes ahead of the
// sanitizer runtime, which must not refuse to start because of that.
const std::vector<std::string> kSanitizerEnv = {
    "ASAN_OPTIONS=exitcode=86:detect_leaks=1:verify_asan_link_order=0",
    "UBSAN_OPTIONS=exitcode=86:print_stacktrace=1"};

std::vector<std::string> sandboxArgv(const std::string& pty, const std::string& varLog,
                                     const std::vector<std::string>& options,
                                     const std::vector<std::string>& command,
                                     const std::string& ttyName) {
    std::vector<std::string> argv = {kSandboxPath};
    if (!pty.empty())
        argv.insert(argv.end(), {"--tty", ttyName + "=" + pty});
    if (!varLog.empty()) {
        mkdir(varLog.c_str(), 0755);
        argv.insert(argv.end(), {"--var-log", varLog});
    }
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("--");
    argv.insert(argv.end(), command.begin(), command.end());
    return argv;
}

std::vector<std::string>
shippedArgv(const std::string& program, const std::string& pty, const std::string& varLog,
            const std::vector<std::string>& args, const std::vector<std::string>& sandboxOptions,
            const std::vector<std::string>& wrapper, const std::string& ttyName) {
    std::vector<std::string> command = wrapper;
    command.push_back(programPath(program));
    command.insert(command.end(), args.begin(), args.end());
    return sandboxArgv(pty, varLog, sandboxOptions, command, ttyName);
}

std::vector<std::string> fakeAdapters(const TempDir& dir,
                                      const std::vector<FakeAdapter>& adapters) {
    const std::string sysfs = dir / "usb-serial";
    const std::string udev = dir / "udev";
    std::filesystem::create_directories(udev);
    for (const FakeAdapter& a : adapters) {
        std::filesystem::create_directories(sysfs + "/" + a.name);
        writeText(udev + "/" + a.name,
                  "E: ID_VENDOR_ID=" + a.vendor + "\nE: ID_MODEL_ID=" + a.model + "\n");
    }
    return {"--usb-serial", sysfs, "--udevadm", udev};
}

SimModule::SimModule(const TempDir& dir, const std::vector<std::string>& options,
                     const std::string& port)
    : recordPath(dir / "sim.rec") {
    std::vector<std::string> argv = {programPath("sim"), "--record", recordPath};
    if (!port.empty())
        argv.insert(argv.end(), {"--port", port});
    argv.insert(argv.end(), options.begin(), options.end());
    proc_ = std::make_unique<BackgroundProcess>(argv);
    std::string line;
    if (proc_->readLine(line, 10) && (port.empty() || line == port))
        pty = line;
}

std::vector<std::string> SimModule::requests() const {
    std::vector<std::string> rx;
    for (const auto& line : lines(record()))
        if (line.rfind("RX ", 0) == 0)
            rx.push_back(line.substr(3));
    return rx;
}
