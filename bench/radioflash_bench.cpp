// A whole firmware update timed on a 115200 8N1 line: the shipped radioflash, in the sandbox
// runner with /dev/ttyS4 on one side of a paced relay, against the simulated module on the
// other side. With --restore, a whole pairvault restore (restore, settling pause, reboot).
//
//   cmake --build <dir> --target bench-radioflash   (or <dir>/bench/radioflash_bench [--size N])
//   cmake --build <dir> --target bench-restore      (or ... radioflash_bench --restore [--size N])
//
// It prints the data phase (first block header to the ACK of the EOT) with its throughput and
// ratio to the line limit, and, apart from it, the fixed pauses around it: the command exchanges
// before the first block, and the settling pause and what follows it after the last ACK.
#include "bench/paced_relay.h"
#include "bench/phase_clock.h"
#include "tests/support/data.h"
#include "tests/support/sandbox.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

double seconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

} // namespace

int main(int argc, char** argv) {
    std::size_t size = 256 * 1024;
    bool restore = false;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--size" && i + 1 < argc)
            size = static_cast<std::size_t>(std::strtoul(argv[++i], nullptr, 10));
        else if (std::string(argv[i]) == "--restore")
            restore = true;
    }
    const char* what = restore ? "pairvault -restore" : "radioflash -f";

    TempDir dir;
    const std::string imagePath = dir / "image.bin";
    const std::string receivedPath = dir / "received.bin";
    const auto image = writePattern(imagePath, size, 2024);

    PhaseClock clock; // radioflash sends the blocks from side A
    RelayOptions options;
    clock.tapInto(options);
    PacedRelay relay(options);
    if (!relay.ok()) {
        std::fprintf(stderr, "radioflash_bench: cannot open the relay's terminals\n");
        return 1;
    }

    SimModule sim(dir, {restore ? "--table" : "--image", receivedPath}, relay.pathB);
    if (!sim.started()) {
        std::fprintf(stderr, "radioflash_bench: the simulated module did not start\n");
        return 1;
    }

    relay.releaseSlaveA();
    const Clock::time_point start = Clock::now();
    const ProcessResult run = runProcess(
        sandboxArgv(relay.pathA, "", {},
                    {programPath(restore ? "pairvault" : "radioflash"), restore ? "-restore" : "-f",
                     imagePath, "-ohub", "-l", dir / "run.log"}),
        {}, 600);
    const Clock::time_point end = Clock::now();
    sim.process().stop();
    relay.stop();

    if (run.exitCode == 77) {
        std::printf("radioflash_bench: skipped, %s", run.err.c_str());
        return 0;
    }
    const std::vector<std::uint8_t> received = readFile(receivedPath);
    const bool exact = startsWith(received, image);
    std::printf("%s, %zu-byte file, 115200 8N1 paced line\n", what, size);
    std::printf("  exit %d, stdout \"%s\", image %s\n", run.exitCode,
                run.out.substr(0, run.out.find('\n')).c_str(),
                exact ? "received byte for byte" : "NOT received intact");
    if (!clock.firstHeader || !clock.eotAck) {
        std::printf("  no complete transfer seen on the line\n");
        return 1;
    }
    const double data = seconds(*clock.firstHeader, *clock.eotAck);
    const double payload = static_cast<double>((size / 128 + 1) * 128);
    std::printf("  data phase %.3f s: %.0f B/s, %.3f of the line limit (%.0f B/s)\n", data,
                payload / data, payload / data / lineLimit(128), lineLimit(128));
    std::printf("  before the first block %.3f s (start-up, %s)\n",
                seconds(start, *clock.firstHeader),
                restore ? "restore command" : "prepare and start pauses");
    std::printf("  after the last ACK %.3f s (settling pause, %s, exit)\n",
                seconds(*clock.eotAck, end), restore ? "reboot command" : "final read");
    std::printf("  whole run %.3f s\n", seconds(start, end));
    return run.exitCode == (restore ? 1 : 0) && exact ? 0 : 1;
}
