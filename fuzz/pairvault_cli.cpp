// Fuzz target: pairvault's command-line parser fed arbitrary argument vectors (the input split
// at NUL bytes). Parsing only: nothing is opened or printed. Oracle: the result is 0 or -1, and
// an accepted command line never names both a backup and a restore file, takes every file and
// log value from the vector itself, sets only what a word in it asked for, and leaves the port
// to be chosen later.
#include "fuzz/oracle.h"
#include "pairvault/pairvault_internal.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ArgVector args("pairvault", {data, size});
    RunOptions opt;
    if (!accepted(parseArgs(args.argc(), args.argv(), opt)))
        return 0;
    if (opt.backupFile != nullptr && opt.restoreFile != nullptr)
        fuzzFail("both a backup and a restore file were accepted");
    if ((opt.backupFile != nullptr && !args.holds(opt.backupFile)) ||
        (opt.restoreFile != nullptr && !args.holds(opt.restoreFile)) ||
        !args.holdsOr(opt.logValue, DEFAULT_LOG_PATH))
        fuzzFail("a file or log value does not come from the argument vector");
    if ((opt.reset && !args.hasWord("-reset")) || (opt.reboot && !args.hasWord("-reboot")) ||
        (opt.create && !args.hasWord("-create")) || (opt.onBoard && !args.hasWord("-ohub")) ||
        opt.device != nullptr)
        fuzzFail("an option was set that no word asked for");
    return 0;
}
