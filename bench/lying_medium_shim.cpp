// Preloaded into pairvault by the backup tests only (never installed, never linked into it):
// plays a storage medium that stores what it is given but returns one wrong byte when a file
// is read back, as a worn SD card or eMMC can.
//
// LYING_MEDIUM=<name part>:<offset> turns it on: a positioned read (pread) of a file whose
// path contains <name part> returns the byte at file offset <offset> with its bits inverted.
// Without it every call passes through untouched.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

using PreadFn = ssize_t (*)(int, void*, size_t, off64_t);

void lie(int fd, void* buf, ssize_t got, off64_t at) {
    const char* setting = std::getenv("LYING_MEDIUM");
    const char* colon = setting == nullptr ? nullptr : std::strrchr(setting, ':');
    if (colon == nullptr || got <= 0)
        return;
    const off64_t wrong = std::atoll(colon + 1);
    if (wrong < at || wrong >= at + got)
        return;
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    char path[4096];
    const ssize_t len = readlink(self, path, sizeof path);
    const std::string_view part(setting, static_cast<std::size_t>(colon - setting));
    if (len > 0 &&
        std::string_view(path, static_cast<std::size_t>(len)).find(part) != std::string_view::npos)
        static_cast<unsigned char*>(buf)[wrong - at] ^= 0xFF;
}

} // namespace

extern "C" {

// The build reads files with 64-bit offsets everywhere, so pread is always this one.
ssize_t pread64(int fd, void* buf, size_t n, off64_t at) {
    static const auto realPread = reinterpret_cast<PreadFn>(dlsym(RTLD_NEXT, "pread64"));
    const ssize_t got = realPread(fd, buf, n, at);
    lie(fd, buf, got, at);
    return got;
}
}
