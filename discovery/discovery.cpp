#include "discovery/discovery.h"

#include "discovery/discovery_internal.h"
#include "link/run_log.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

constexpr std::size_t LINE_SIZE = 512;
constexpr std::string_view MODEL_KEY = "ID_MODEL_ID=";
constexpr std::string_view VENDOR_KEY = "ID_VENDOR_ID=";

char name[512];

// Single-quotes `s` for /bin/sh. Entry names come from a directory listing and may hold spaces
// or shell metacharacters; quoted, the shell hands them to udevadm as one argument and never
// runs them.
std::string shellQuote(std::string_view s) {
    std::string q = "'";
    for (const char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    q += '\'';
    return q;
}

// When `key` occurs in `line`, `value` becomes the rest of the line after its first occurrence.
void takeValue(std::string_view line, std::string_view key, std::string& value) {
    const std::size_t at = line.find(key);
    if (at != std::string_view::npos)
        value = line.substr(at + key.size());
}

} // namespace

int selectDir(const struct dirent* entry) {
    return entry->d_name[0] == '.' ? 0 : 1;
}

int isZigbeeDevice(const char* entryName) {
    const std::string command = "udevadm info " + shellQuote(std::string("/dev/") + entryName);
    // The shell only ever sees the quoted device path as udevadm's argument.
    // "e": our end of the pipe is close-on-exec, so the next adapter's udevadm does not hold it.
    FILE* out = popen(command.c_str(), "re"); // NOLINT(cert-env33-c)
    if (out == nullptr) {
        printError("fail to execute udevadm");
        return 0;
    }
    const int match = udevadmOutputMatches(out);
    pclose(out);
    return match;
}

int udevadmOutputMatches(FILE* out) {
    std::string model;
    std::string vendor;
    // A line longer than the buffer arrives in pieces, and each piece counts as a line.
    char line[LINE_SIZE];
    while (std::fgets(line, sizeof line, out) != nullptr) {
        std::string_view text(line);
        text = text.substr(0, text.find('\n'));
        takeValue(text, MODEL_KEY, model);
        takeValue(text, VENDOR_KEY, vendor);
    }
    return model == ZIGBEE_MODEL_ID && vendor == ZIGBEE_VENDOR_ID ? 1 : 0;
}

char* getZigbeeDeviceNameIn(const char* dir) {
    struct dirent** entries = nullptr;
    // No sort function: the adapters are tried in the order the directory yields them.
    const int count = scandir(dir, &entries, selectDir, nullptr);
    if (count < 0) {
        printError("scanDir devices");
        return nullptr;
    }
    const char* match = nullptr;
    for (int i = 0; i < count && match == nullptr; ++i) {
        if (isZigbeeDevice(entries[i]->d_name) == 1)
            match = entries[i]->d_name;
    }
    if (match != nullptr)
        std::snprintf(name, sizeof name, "/dev/%s", match);
    for (int i = 0; i < count; ++i)
        std::free(entries[i]);
    std::free(entries);
    return match != nullptr ? name : nullptr;
}

char* getZigbeeDeviceName() {
    return getZigbeeDeviceNameIn(USB_SERIAL_DIR);
}
