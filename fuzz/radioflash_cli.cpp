// Fuzz target: radioflash's command-line parser fed arbitrary argument vectors (the input split
// at NUL bytes). Parsing only: nothing is opened or printed. Oracle: the result is 0 or -1, and
// an accepted command line takes its firmware file and log value from the vector itself and
// sets only what a word in it asked for.
#include "fuzz/oracle.h"
#include "radioflash/radioflash.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ArgVector args("radioflash", {data, size});
    RunOptions opt;
    if (!accepted(parseArgs(args.argc(), args.argv(), opt)))
        return 0;
    if ((opt.firmware != nullptr && !args.holds(opt.firmware)) ||
        !args.holdsOr(opt.logValue, RADIOFLASH_DEFAULT_LOG))
        fuzzFail("a file or log value does not come from the argument vector");
    if ((opt.currentVersion && !args.hasWord("-currentversion")) ||
        (opt.onBoard && !args.hasWord("-ohub")))
        fuzzFail("an option was set that no word asked for");
    return 0;
}
