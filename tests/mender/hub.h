// A hub for the fleet rollout tests: Debian's mender-client and swupdate drive the shipped update
// module, Lua handler and update policy, pairvault and radioflash against the simulated module.
// The engines' directories, the update policy's and /dev/ttyS4 are the hub's own, in the
// sandbox's private mount namespace.
#pragma once

#include "tests/support/data.h"
#include "tests/support/sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <ostream>

namespace rollout {

namespace fs = std::filesystem;

inline const std::string UPDATE_MODULE =
    std::string(ZB_SOURCE_DIR) + "/packaging/mender/zigbee-module-firmware";
inline const std::string MODULES_DIR = "/usr/share/mender/modules/v3";
inline const std::string STATE_DIR = "/var/lib/zigbee-module-tools"; // as the update module sees it
inline const std::string BACKUP_CMD = "00 00 09 ";
inline const std::string UPDATE_START_CMD = "00 00 e1 ";

// The two OTA engines, and the tags the shared policy's log lines carry under each.
struct Engine {
    std::string name, installTag, rollbackTag;
};
inline const Engine MENDER{"mender", "ArtifactInstall", "ArtifactRollback"};
inline const Engine SWUPDATE{"swupdate", "swupdate", "swupdate-rollback"};
inline void PrintTo(const Engine& engine, std::ostream* os) {
    *os << engine.name;
}

// A hub on which Mender runs standalone with "factory" installed and swupdate runs with the
// hub's swupdate_handlers.lua loading the handler; the update module is in place and the
// configuration says the module is on the hub's port.
struct Hub {
    TempDir dir;
    std::string varLib = dir / "var-lib";
    std::string stateDir = varLib + "/zigbee-module-tools";
    std::string received = dir / "received"; // the last image the module took
    std::vector<std::uint8_t> table = pattern(700, 5);
    std::unique_ptr<SimModule> sim;
    // When set, shell commands run on the hub before each command, which keeps descriptor 8
    // from them: a small or read-only tmpfs on the state directory, a lock held on the port.
    std::string before;
    std::string pathFirst;              // when set, directories of stand-ins for system commands
    std::vector<std::string> commonEnv; // added to every command's environment
    bool ownSession = false; // every command in a session of its own (a power cut's reach)
    std::vector<std::string> simOptions;

    explicit Hub(const std::vector<std::string>& simArgs) {
        for (const char* sub : {"etc-mender", "var-lib/mender", "var-lib/zigbee-module-tools",
                                "modules", "etc-default", "lua", "tmp"})
            fs::create_directories(dir / sub);
        fs::copy_file(UPDATE_MODULE, dir / "modules/zigbee-module-firmware");
        writeText(dir / "etc-mender/mender.conf", "{}\n");
        writeText(dir / "etc-mender/artifact_info", "artifact_name=factory\n");
        writeText(varLib + "/mender/device_type", "device_type=hub\n");
        writeText(dir / "etc-default/zigbee-module-tools", "ZIGBEE_MODULE_PORT=\"hub\"\n");
        writeText(dir / "lua/swupdate_handlers.lua", "require(\"zigbee_module_firmware\")\n");
        writeFile(dir / "table", table);
        simOptions = {"--table", dir / "table", "--image", received};
        simOptions.insert(simOptions.end(), simArgs.begin(), simArgs.end());
        startModule({});
    }

    // A hub as `from` is now, files and module: its directories copied, its module started
    // again from what it holds, in its firmware receiver if `from`'s waits there.
    explicit Hub(const Hub& from, const std::vector<std::string>& simArgs) : table(from.table) {
        // Sockets a power cut left behind (swupdate's) are not copied: nothing listens on them.
        for (const auto& e : fs::recursive_directory_iterator(from.dir.path)) {
            const fs::path to = dir / e.path().lexically_relative(from.dir.path).string();
            if (e.is_symlink())
                fs::copy_symlink(e.path(), to);
            else if (e.is_directory())
                fs::create_directories(to);
            else if (e.is_regular_file())
                fs::copy_file(e.path(), to);
        }
        fs::remove(dir / "sim.rec");
        simOptions = {"--table", dir / "table", "--image", received};
        simOptions.insert(simOptions.end(), simArgs.begin(), simArgs.end());
        const auto image = readFile(received);
        std::vector<std::string> more;
        if (image.size() >= 2)
            more = {"--version", versionIn(image)};
        if (from.moduleWaits())
            more.push_back("--start-in-receiver");
        startModule(more);
    }

    void startModule(const std::vector<std::string>& more) {
        sim.reset();
        std::vector<std::string> options = simOptions;
        options.insert(options.end(), more.begin(), more.end());
        sim = std::make_unique<SimModule>(dir, options);
        if (!sim->started())
            ADD_FAILURE() << "modulesim did not report its terminal";
    }

    // Whether the module waits in its firmware receiver, read from what it recorded: since a
    // start request or its own word that it waits, until an image arrives whole.
    bool moduleWaits() const {
        bool waits = false;
        for (const auto& line : lines(sim->record())) {
            if (line.starts_with("RX " + UPDATE_START_CMD) ||
                line.starts_with("XM waiting for a firmware image"))
                waits = true;
            else if (waits && line.starts_with("XM end ") && std::atoi(line.c_str() + 7) > 0)
                waits = false;
        }
        return waits;
    }

    // The power goes and comes back: the module starts again from what it holds, its firmware
    // receiver if an image was cut short.
    // With --version-from-image, a module that took an image runs the version it carries.
    void powerCycle() {
        const auto image = readFile(received);
        if (moduleWaits())
            startModule({"--start-in-receiver"});
        else if (image.size() >= 2 && std::ranges::count(simOptions, "--version-from-image") > 0)
            startModule({"--version", versionIn(image)});
        else
            startModule({});
    }

    static std::string versionIn(const std::vector<std::uint8_t>& image) {
        std::string v;
        for (const int nibble : {image[0] >> 4, image[0] & 15, image[1] >> 4, image[1] & 15})
            v += (v.empty() ? "" : ".") + std::to_string(nibble);
        return v;
    }

    // Builds artifact `name` carrying `image` and, when given, the `version` file.
    std::string artifact(const std::string& name, const std::vector<std::uint8_t>& image,
                         const std::string& version) const {
        const std::string payload = dir / name;
        fs::create_directories(payload);
        writeFile(payload + "/image.bin", image);
        std::vector<std::string> argv{"mender-artifact",
                                      "write",
                                      "module-image",
                                      "-T",
                                      "zigbee-module-firmware",
                                      "-t",
                                      "hub",
                                      "-n",
                                      name,
                                      "-f",
                                      payload + "/image.bin",
                                      "-o",
                                      payload + ".mender"};
        if (!version.empty()) {
            writeText(payload + "/version", version + "\n");
            argv.insert(argv.end(), {"-f", payload + "/version"});
        }
        const ProcessResult r = runProcess(argv, {}, 60);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return payload + ".mender";
    }

    // Builds update `name` as a .swu signed with a key of the test's own: `image` as type
    // zigbee-module-firmware, with the version property when given.
    std::string swu(const std::string& name, const std::vector<std::uint8_t>& image,
                    const std::string& version) const {
        const std::string payload = dir / name;
        fs::create_directories(payload);
        writeFile(payload + "/" + name + ".bin", image);
        const std::string script =
            "set -e; cd \"$1\"; [ -f ../key.pem ] || openssl req -x509 -newkey rsa:2048 -nodes "
            "-keyout ../key.pem -out ../cert.pem -days 1 -subj /CN=test "
            "-addext extendedKeyUsage=emailProtection 2>/dev/null; "
            "props=; [ -z \"$3\" ] || props=\"properties: { version = \\\"$3\\\"; };\"; "
            "printf 'software = { version = \"1.0\"; hardware-compatibility: [ \"1.0\" ];\\n"
            "images: ( { name = \"%s\"; filename = \"%s.bin\"; type = \"zigbee-module-firmware\"; "
            "sha256 = \"%s\";"
            " %s } ); }\\n' \"$2\" \"$2\" \"$(sha256sum \"$2.bin\" | cut -d' ' -f1)\" \"$props\" "
            ">sw-description; openssl cms -sign -in sw-description -out sw-description.sig "
            "-signer ../cert.pem -inkey ../key.pem -outform DER -nosmimecap -binary; "
            "printf '%s\\n' sw-description sw-description.sig \"$2.bin\" | "
            "cpio -o -H crc --quiet >../\"$2\".swu";
        const ProcessResult r =
            runProcess({"sh", "-c", script, "sh", payload, name, version}, {}, 60);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return payload + ".swu";
    }

    // `swupdate -i SWU` on the hub, with the Lua handler loaded by swupdate_handlers.lua.
    ProcessResult swupdate(const std::string& swu) const {
        // Its notifier binds a fixed abstract socket: each run gets a network of its own, so
        // that hubs side by side do not collide.
        return run(
            {"unshare", "-n", "swupdate", "-H", "hub:1.0", "-k", dir / "cert.pem", "-i", swu},
            {"LUA_PATH=" + dir / "lua/?.lua;" + ZB_SOURCE_DIR + "/packaging/swupdate/?.lua;;",
             "TMPDIR=" + dir / "tmp"});
    }

    // One update by `engine`: built, installed and, under Mender, committed when it went in.
    ProcessResult update(const Engine& engine, const std::string& name,
                         const std::vector<std::uint8_t>& image, const std::string& version) const {
        if (engine.name == SWUPDATE.name)
            return swupdate(swu(name, image, version));
        const ProcessResult install = mender({"install", artifact(name, image, version)});
        return install.exitCode == 0 ? mender({"commit"}) : install;
    }

    ProcessResult mender(const std::vector<std::string>& args) const {
        std::vector<std::string> command{"mender", "--no-syslog", "--log-level", "error"};
        command.insert(command.end(), args.begin(), args.end());
        return run(command);
    }

    // `command` on the hub; the shipped programs and the update policy are first on its PATH.
    ProcessResult run(const std::vector<std::string>& command,
                      const std::vector<std::string>& extraEnv = {}) const {
        std::vector<std::string> binds;
        for (const auto& [mine, target] :
             {std::pair<std::string, std::string>{dir / "etc-mender", "/etc/mender"},
              {varLib, "/var/lib"},
              {dir / "modules", MODULES_DIR},
              {dir / "etc-default", "/etc/default"}})
            binds.insert(binds.end(), {"--bind", mine + "=" + target});
        const char* path = std::getenv("PATH");
        std::vector<std::string> env = kSanitizerEnv;
        env.push_back("PATH=" + (pathFirst.empty() ? "" : pathFirst + ":") + ZB_BIN_DIR +
                      "/pairvault:" + ZB_BIN_DIR + "/radioflash:" + ZB_SOURCE_DIR +
                      "/packaging/update:" + (path != nullptr ? path : "/usr/bin:/bin"));
        env.insert(env.end(), commonEnv.begin(), commonEnv.end());
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        std::vector<std::string> argv = command;
        if (!before.empty())
            argv.insert(argv.begin(), {"sh", "-c", before + " && { \"$@\" 8<&-; }", "sh"});
        std::vector<std::string> full = sandboxArgv(sim->pty, dir / "log", binds, argv);
        if (ownSession)
            full.insert(full.begin(), {"setsid", "-w"});
        return runProcess(full, env, 150);
    }

    std::string shownArtifact() const {
        const ProcessResult r = mender({"show-artifact"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.out;
    }

    std::string log() const { return readText(dir / "log/zigbee-module-firmware.log"); }

    std::size_t requests(const std::string& prefix) const {
        const auto rx = sim->requests();
        return static_cast<std::size_t>(
            std::count_if(rx.begin(), rx.end(), [&](auto& r) { return r.starts_with(prefix); }));
    }

    // The update module only ever reads the pairings: no restore, no reset, no reboot.
    void expectPairingsLeftAlone() const {
        EXPECT_EQ(readFile(dir / "table"), table);
        for (const char* code : {"00 00 0a ", "00 00 07 ", "00 00 06 "})
            EXPECT_EQ(requests(code), 0u) << code;
    }
};

inline bool haveMender() {
    return runProcess({"sh", "-c", "command -v mender && command -v mender-artifact"}, {}, 10)
                   .exitCode == 0 &&
           fs::is_directory(MODULES_DIR);
}

// Debian 12's own swupdate (2022.12) fails at random when a handler starts a program.
inline bool haveSwupdate() {
    return runProcess({"sh", "-c",
                       "command -v openssl && command -v cpio && dpkg --compare-versions "
                       "\"$(dpkg-query -W -f='${Version}' swupdate)\" ge 2023"},
                      {}, 10)
               .exitCode == 0;
}

} // namespace rollout
