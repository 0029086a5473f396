// The progress line's text: sizes, rate and time left, and how it gives way to a narrow
// terminal.
#include "filetransfer/progress.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace {

std::string line(std::int64_t done, std::int64_t total, double rate, int columns = 80) {
    std::array<char, 200> buf{};
    const std::size_t n = formatProgress(buf, done, total, rate, columns);
    EXPECT_EQ(n, std::string(buf.data()).size());
    return std::string(buf.data(), n);
}

} // namespace

TEST(ProgressFormat, KnownTotalShowsRateAndTimeLeft) {
    EXPECT_EQ(line(12 * 1024, 256 * 1024, 11162),
              "  12.0 KiB of 256.0 KiB   10.9 KiB/s   0:22 left");
    // Before a rate can be told, only the bytes.
    EXPECT_EQ(line(128, 300, -1), "  128 B of 300 B");
    EXPECT_EQ(line(0, 0, -1), "  0 B of 0 B");
    // Long transfers get hours; big ones MiB and GiB.
    EXPECT_EQ(line(0, 100 * 1024 * 1024, 10240), "  0 B of 100.0 MiB   10.0 KiB/s   2:50:40 left");
    EXPECT_EQ(line(3LL << 30, 5LL << 30, 1 << 20), "  3.0 GiB of 5.0 GiB   1.0 MiB/s   34:08 left");
    // A stalled transfer has no time left to tell.
    EXPECT_EQ(line(1024, 2048, 0), "  1.0 KiB of 2.0 KiB   0 B/s");
}

TEST(ProgressFormat, SenderFillNeverShowsMoreThanTheTotal) {
    // The last block carries fill past the end of the data.
    EXPECT_EQ(line(384, 300, 1024), "  300 B of 300 B   1.0 KiB/s   0:00 left");
}

TEST(ProgressFormat, UnknownTotalShowsBytesAndRateOnly) {
    EXPECT_EQ(line(12 * 1024, -1, 11162), "  12.0 KiB received   10.9 KiB/s");
    EXPECT_EQ(line(1536, -1, -1), "  1.5 KiB received");
}

TEST(ProgressFormat, NarrowTerminalDropsWholeFieldsAndKeepsTheLastColumnFree) {
    const std::string full = "  12.0 KiB of 256.0 KiB   10.9 KiB/s   0:22 left";
    EXPECT_EQ(line(12 * 1024, 256 * 1024, 11162, static_cast<int>(full.size()) + 1), full);
    EXPECT_EQ(line(12 * 1024, 256 * 1024, 11162, static_cast<int>(full.size())),
              "  12.0 KiB of 256.0 KiB   10.9 KiB/s");
    EXPECT_EQ(line(12 * 1024, 256 * 1024, 11162, 30), "  12.0 KiB of 256.0 KiB");
    EXPECT_EQ(line(12 * 1024, 256 * 1024, 11162, 10), "");
    EXPECT_EQ(line(12 * 1024, 256 * 1024, 11162, 0), "");
}

TEST(ProgressFormat, NeverWritesPastTheBuffer) {
    std::array<char, 12> small{};
    small.fill('x');
    const std::size_t n = formatProgress(std::span<char>(small.data(), 8), 1, 2, -1, 200);
    EXPECT_EQ(n, 0u); // "  1 B of 2 B" needs more than 7 characters
    EXPECT_EQ(small[0], '\0');
    EXPECT_EQ(small[8], 'x');
    std::array<char, 13> exact{};
    EXPECT_EQ(formatProgress(exact, 1, 2, -1, 200), 12u);
    EXPECT_STREQ(exact.data(), "  1 B of 2 B");
}
