#include "tests/support/data.h"
#include "tests/support/tempdir.h"

#include <algorithm>
#include <random>

std::vector<std::uint8_t> pattern(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::uint8_t> data(n);
    for (auto& b : data)
        b = static_cast<std::uint8_t>(rng() & 0xFF);
    return data;
}

std::vector<std::uint8_t> writePattern(const std::string& path, std::size_t n, std::uint64_t seed) {
    auto data = pattern(n, seed);
    writeFile(path, data);
    return data;
}

bool startsWith(const std::vector<std::uint8_t>& bytes, const std::vector<std::uint8_t>& prefix) {
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

std::vector<std::uint8_t> withFill(std::vector<std::uint8_t> data, bool extraBlock) {
    constexpr std::size_t BLOCK = 128;
    if (data.size() % BLOCK != 0 || extraBlock || data.empty()) {
        data.push_back(0x1A);
        data.resize((data.size() + BLOCK - 1) / BLOCK * BLOCK, 0);
    }
    return data;
}

std::uint16_t referenceCrc(const std::uint8_t* p, std::size_t n) {
    unsigned reg = 0;
    for (std::size_t i = 0; i < n; ++i) {
        reg ^= static_cast<unsigned>(p[i]) << 8;
        for (int b = 0; b < 8; ++b)
            reg = (reg & 0x8000U) != 0 ? ((reg << 1) ^ 0x1021U) : (reg << 1);
        reg &= 0xFFFFU;
    }
    return static_cast<std::uint16_t>(reg);
}
