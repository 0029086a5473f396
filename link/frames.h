// Module command frames.
//
// A request is 00 00 <code> 00 <N> <payload: N bytes> AA. A reply has the same shape and begins
// 00 01 <code> 08. Each exchange tests only the reply bytes it relies on; the module firmware
// is outside these tools.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

enum : std::uint8_t {
    CMD_GET_VERSION = 0x01,
    CMD_CREATE_NETWORK = 0x03,
    CMD_GET_GATEWAY_ID = 0x04,
    CMD_REBOOT = 0x06,
    CMD_FACTORY_RESET = 0x07,
    CMD_BACKUP = 0x09,
    CMD_RESTORE = 0x0A,
    CMD_UPDATE_PREPARE = 0xE0,
    CMD_UPDATE_START = 0xE1,
};

inline constexpr std::uint8_t FRAME_END = 0xAA;
inline constexpr std::size_t FRAME_OVERHEAD = 6; // 5 header bytes and FRAME_END
inline constexpr int CMD_ATTEMPTS = 6;           // the first attempt and 5 retries
inline constexpr unsigned CMD_PAUSE_S = 1;       // between a request and reading its reply

// Builds 00 00 <code> 00 <len> <payload> AA into `out` (which must hold payload.size() + 6
// bytes) and returns the frame length.
std::size_t buildFrame(std::uint8_t code, std::span<const std::uint8_t> payload,
                       std::span<std::uint8_t> out);

// Sends a payload-less command and waits for its one-byte status reply, up to CMD_ATTEMPTS
// times, each followed by a CMD_PAUSE_S pause. Uses the open SERIAL_FD and traces with `label`.
// Returns 1 when accepted, -1 when a read failed (the module had not answered), -2 when no
// acceptable reply came ("No valid response." is logged).
[[nodiscard]] int sendControlCommand(std::uint8_t code, const char* label);
