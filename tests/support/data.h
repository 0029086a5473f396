// Test data: a seeded byte pattern, the XMODEM fill, and a CRC computed bit by bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Pseudo-random bytes (every value, XMODEM control bytes included); the same seed gives the
// same bytes.
std::vector<std::uint8_t> pattern(std::size_t n, std::uint64_t seed = 7);
// The same, also written to the file at `path`.
std::vector<std::uint8_t> writePattern(const std::string& path, std::size_t n,
                                       std::uint64_t seed = 7);

// True when `bytes` begins with `prefix` (a received file may carry the XMODEM fill behind it).
bool startsWith(const std::vector<std::uint8_t>& bytes, const std::vector<std::uint8_t>& prefix);

// `data` as it arrives behind an XMODEM transfer in 128-byte blocks: SUB, then zeros to the end
// of the last block. `extraBlock`: our sender also puts a fill block behind data that ends on a
// block boundary; the module's does not.
std::vector<std::uint8_t> withFill(std::vector<std::uint8_t> data, bool extraBlock = true);

// CRC-16 (polynomial 0x1021, start 0) bit at a time, straight from the polynomial: the
// independent reference for the engine's table-driven CRC.
std::uint16_t referenceCrc(const std::uint8_t* p, std::size_t n);
