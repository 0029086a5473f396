// XMODEM transfers over the module port.
//
// The sender sends 128-byte blocks (SOH) in CRC-16 or checksum mode, as the receiver asks. The
// receiver asks for CRC mode with "C", falls back to checksum mode with NAK, and takes 128- and
// 1024-byte blocks (SOH / STX) mixed freely. Both work on the process-wide SERIAL_FD
// (link/serial.h) and log through log_fp (link/run_log.h).
//
// Transfer result: > 0 on success (payload bytes moved, in whole blocks, fill included);
//   0  receiver: EOT before any new block        -1 the other side cancelled (receiver: also a
//   -2 no sync                                       failed file write)
//   -3 receiver: too many repeats in a row       -4 sender: block not acknowledged 5 times
//   -5 sender: EOT not acknowledged
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>

inline constexpr std::uint8_t SOH = 0x01;
inline constexpr std::uint8_t STX = 0x02;
inline constexpr std::uint8_t EOT = 0x04;
inline constexpr std::uint8_t ACK = 0x06;
inline constexpr std::uint8_t NAK = 0x15;
inline constexpr std::uint8_t CAN = 0x18;
inline constexpr std::uint8_t SUB = 0x1A;
inline constexpr std::uint8_t CRC_REQUEST = 'C';

inline constexpr int XMODEM_BLOCK_128 = 128;
inline constexpr int XMODEM_BLOCK_1K = 1024;
inline constexpr int XMODEM_BUFFER_SIZE = 1029; // STX block with CRC: 3 + 1024 + 2

// CRC-16/XMODEM table (polynomial 0x1021, MSB first), built at compile time.
extern const std::array<std::uint16_t, 256> crc16tab;

// CRC-16/XMODEM of `len` bytes; 0 when len <= 0.
std::uint16_t crc16_ccitt(const unsigned char* buf, std::int32_t len);

// True when `read` is not empty and holds nothing but CRC_REQUEST and NAK: all that a receiver
// waiting for its sender says.
[[nodiscard]] bool onlyReceiverRequests(std::span<const std::uint8_t> read);

// Sends `srcsz` bytes from `src` to the receiver on SERIAL_FD.
[[nodiscard]] std::int32_t xmodemTransmit(const unsigned char* src, std::int32_t srcsz);

// Receives a transfer from the sender on SERIAL_FD, writing every new block's payload to `out`
// (not flushed or closed here).
[[nodiscard]] std::int32_t xmodemReceive(FILE* out);

// Progress hook, called after each acknowledged block (sender: bytes covered so far and the
// count handed in) and after each new block written (receiver: bytes written so far and -1).
// Null by default; a transfer behaves the same whether it is set or not.
using XmodemProgress = void (*)(std::int64_t bytesDone, std::int64_t bytesTotal);
extern XmodemProgress xmodemProgress;

// "success", "no sync", "canceled by remote", "xmit error" or "unknown error".
const char* retString(std::int64_t result);
