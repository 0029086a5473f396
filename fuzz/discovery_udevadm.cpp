// Fuzz target: discovery reading the output of "udevadm info" (long lines, missing newlines,
// NULs, repeated and misplaced keys). The output is served from memory through a stdio
// stream, as popen serves it. Oracle: the answer is the one a plain reading of the rules
// gives: the output is read in pieces of at most 511 bytes that end after a newline, a piece
// counts only up to its first NUL or newline, the last value behind each key wins, and both
// values must be exactly "0403" and "6015".
#include "discovery/discovery.h"
#include "discovery/discovery_internal.h"
#include "fuzz/oracle.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace {

constexpr std::size_t PIECE = 511;

int expectedMatch(std::string_view out) {
    std::string model;
    std::string vendor;
    while (!out.empty()) {
        std::size_t len = std::min(out.find('\n'), out.size() - 1) + 1;
        len = std::min(len, PIECE);
        std::string_view piece = out.substr(0, len);
        out.remove_prefix(len);
        piece = piece.substr(0, piece.find('\0'));
        piece = piece.substr(0, piece.find('\n'));
        for (auto [key, value] : {std::pair{std::string_view("ID_MODEL_ID="), &model},
                                  std::pair{std::string_view("ID_VENDOR_ID="), &vendor}}) {
            if (const std::size_t at = piece.find(key); at != std::string_view::npos)
                *value = piece.substr(at + key.size());
        }
    }
    return model == ZIGBEE_MODEL_ID && vendor == ZIGBEE_VENDOR_ID ? 1 : 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // fmemopen wants a buffer of at least one byte; the stream's size is what is read.
    std::string text(reinterpret_cast<const char*>(data), size);
    text.push_back('\0');
    FILE* out = fmemopen(text.data(), size, "r");
    if (out == nullptr)
        fuzzFail("fmemopen failed");
    const int match = udevadmOutputMatches(out);
    std::fclose(out);
    if (match != expectedMatch(std::string_view(text.data(), size)))
        fuzzFail("discovery's answer differs from the rules for udevadm output");
    return 0;
}
