#include "tests/support/data.h"
#include "xmodem/xmodem.h"
#include "xmodem/xmodem_internal.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace {

TEST(XmodemCrc, TableAndKnownValues) {
    for (unsigned i = 0; i < 256; ++i) {
        const unsigned char hi[2] = {static_cast<unsigned char>(i), 0};
        // One byte i through the register from 0 leaves the table entry for i.
        EXPECT_EQ(crc16tab[i], referenceCrc(hi, 1)) << i;
    }
    const std::array<std::uint16_t, 8> first = {0x0000, 0x1021, 0x2042, 0x3063,
                                                0x4084, 0x50A5, 0x60C6, 0x70E7};
    for (std::size_t i = 0; i < first.size(); ++i)
        EXPECT_EQ(crc16tab[i], first[i]);
    EXPECT_EQ(crc16tab[255], 0x1EF0);

    const auto* digits = reinterpret_cast<const unsigned char*>("123456789");
    EXPECT_EQ(crc16_ccitt(digits, 9), 0x31C3);
    EXPECT_EQ(crc16_ccitt(digits, 0), 0);
    EXPECT_EQ(crc16_ccitt(digits, -5), 0);

    unsigned char big[1024];
    for (int i = 0; i < 1024; ++i)
        big[i] = static_cast<unsigned char>(i * 7 + 3);
    EXPECT_EQ(crc16_ccitt(big, 1024), referenceCrc(big, 1024));
}

TEST(XmodemCrc, CheckBothModes) {
    unsigned char buf[131] = {};
    buf[0] = SUB; // the fill-only block: SUB and 127 zeros
    EXPECT_EQ(crc16_ccitt(buf, 128), 0x595E);
    buf[128] = 0x59;
    buf[129] = 0x5E;
    EXPECT_EQ(check(1, buf, 128), 1);
    buf[128] = 0x5E; // low byte first
    buf[129] = 0x59;
    EXPECT_EQ(check(1, buf, 128), 0);

    buf[128] = 0x1A;
    EXPECT_EQ(check(0, buf, 128), 1);
    buf[128] = 0x1B;
    EXPECT_EQ(check(0, buf, 128), 0);

    std::memset(buf, 0xFF, 128);
    buf[128] = 0x80; // 128 x 0xFF, carries dropped
    EXPECT_EQ(check(0, buf, 128), 1);

    unsigned char large[1026] = {};
    large[5] = 0x42;
    const std::uint16_t c = crc16_ccitt(large, 1024);
    large[1024] = static_cast<unsigned char>(c >> 8);
    large[1025] = static_cast<unsigned char>(c & 0xFF);
    EXPECT_EQ(check(1, large, 1024), 1);
    large[700] = 1;
    EXPECT_EQ(check(1, large, 1024), 0);
}

TEST(XmodemCrc, ResultTexts) {
    EXPECT_STREQ(retString(-2), "no sync");
    EXPECT_STREQ(retString(-1), "canceled by remote");
    EXPECT_STREQ(retString(-4), "xmit error");
    for (std::int64_t v : {0, -3, -5, -100})
        EXPECT_STREQ(retString(v), "unknown error") << v;
    EXPECT_STREQ(retString(1), "success");
    EXPECT_STREQ(retString(384), "success");
}

} // namespace
