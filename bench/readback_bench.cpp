// What reading a backup back from the medium costs.
//
//   cmake --build <dir> --target bench-readback    (or <dir>/bench/readback_bench [DIR])
//
// In DIR (default: the current directory; point it at the hub's SD card or eMMC to measure
// that), for backups of 64 KiB and 1 MiB: the data goes through the backup target's stream
// into its temporary file as a backup's blocks do, is synced, and then the read-back the commit
// does before the rename (drop the cached pages, read from the medium, hash and compare) is
// timed. Prints the median over the runs, and for scale how long the module takes to send that
// much at 115200 baud.
#include "pairvault/backup_target.h"
#include "tests/support/data.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int RUNS = 21;
constexpr double LINE_BYTES_PER_S = 11004; // XMODEM's limit, 128-byte CRC blocks, 115200 8N1

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Milliseconds the read-back of `data` takes, or -1 when it failed.
double timeReadBack(const std::string& path, const std::vector<std::uint8_t>& data) {
    BackupTarget t;
    if (openBackupTarget(path.c_str(), t) != 0 || t.way != BackupWay::Temporary ||
        std::fwrite(data.data(), 1, data.size(), t.stream) != data.size() || fsync(t.tempFd) != 0)
        return -1;
    const auto start = std::chrono::steady_clock::now();
    const int result = verifyReadBack(t.received, t.tempFd, true, path.c_str());
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    return result == 0 ? took.count() : -1;
}

} // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : ".";
    const std::string path = dir + "/readback-bench.bin";
    std::printf("read-back from the medium in %s, median of %d runs\n", dir.c_str(), RUNS);
    for (const std::size_t size : {std::size_t{64} << 10, std::size_t{1} << 20}) {
        const auto data = pattern(size, 7);
        std::vector<double> runs;
        for (int i = 0; i < RUNS; ++i) {
            runs.push_back(timeReadBack(path, data));
            if (runs.back() < 0) {
                std::fprintf(stderr, "readback_bench: cannot write a backup in %s\n", dir.c_str());
                return 1;
            }
        }
        std::printf("%5zu KiB backup: read-back %7.2f ms (the transfer takes about %.0f s)\n",
                    size >> 10, median(runs), static_cast<double>(size) / LINE_BYTES_PER_S);
    }
    return 0;
}
