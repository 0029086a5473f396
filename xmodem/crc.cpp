// Block checks shared by both directions, and the result texts.
#include "xmodem/xmodem.h"
#include "xmodem/xmodem_internal.h"

namespace {

constexpr std::uint16_t CRC16_POLY = 0x1021;

// Entry i: i in the top byte of the register, stepped through the polynomial eight times, most
// significant bit first.
constexpr std::array<std::uint16_t, 256> makeCrc16Table() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned reg = i << 8;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 0x8000U) != 0 ? ((reg << 1) ^ CRC16_POLY) : (reg << 1);
        table[i] = static_cast<std::uint16_t>(reg & 0xFFFFU);
    }
    return table;
}

} // namespace

constexpr std::array<std::uint16_t, 256> crc16tab = makeCrc16Table();

static_assert(crc16tab[0] == 0x0000 && crc16tab[1] == 0x1021 && crc16tab[2] == 0x2042 &&
              crc16tab[3] == 0x3063 && crc16tab[4] == 0x4084 && crc16tab[5] == 0x50A5 &&
              crc16tab[6] == 0x60C6 && crc16tab[7] == 0x70E7 && crc16tab[255] == 0x1EF0);

XmodemProgress xmodemProgress = nullptr;

std::uint16_t crc16_ccitt(const unsigned char* buf, std::int32_t len) {
    unsigned reg = 0;
    for (std::int32_t i = 0; i < len; ++i) {
        const unsigned index = ((reg >> 8) ^ buf[i]) & 0xFFU;
        reg = ((reg << 8) ^ crc16tab[index]) & 0xFFFFU;
    }
    return static_cast<std::uint16_t>(reg);
}

int check(int crc, const unsigned char* buf, int sz) {
    if (crc != 0) {
        const std::uint16_t computed = crc16_ccitt(buf, sz);
        const unsigned received = (static_cast<unsigned>(buf[sz]) << 8) | buf[sz + 1];
        return computed == received ? 1 : 0;
    }
    unsigned sum = 0;
    for (int i = 0; i < sz; ++i)
        sum = (sum + buf[i]) & 0xFFU;
    return sum == buf[sz] ? 1 : 0;
}

const char* retString(std::int64_t result) {
    if (result == -2)
        return "no sync";
    if (result == -1)
        return "canceled by remote";
    if (result == -4)
        return "xmit error";
    if (result <= 0)
        return "unknown error";
    return "success";
}
