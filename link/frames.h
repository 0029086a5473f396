// Module command frames.
//
// A request is 00 00 <code> 00 <N> <payload: N bytes> AA. A reply has the same shape and begins
// 00 01 <code> 08 <N>. Each exchange tests only the reply bytes it relies on; the module firmware
// is outside these tools.
//
// Every exchange with the module is `exchangeFrame`: send, pause whole seconds, read once. The
// callers keep only their own retry rules, which differ from command to command.
#pragma once

#include "link/serial.h"

#include <array>
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
inline constexpr std::uint8_t REPLY_DIRECTION = 0x01;
inline constexpr std::uint8_t REPLY_TYPE = 0x08;
inline constexpr std::uint8_t STATUS_LEN = 0x01; // payload of a one-byte status reply
inline constexpr std::uint8_t STATUS_ACCEPTED = 0x00;
inline constexpr int ANY_LENGTH = -1;

// A reply is read into one of these, and it is never cleared between reads: past the bytes read
// it holds what earlier, longer replies left. Checks that judge the whole buffer rather than
// the bytes read (ReplyStart::Ignored below) see those stale bytes, as they always have.
using ReplyBuffer = std::array<std::uint8_t, UART_RECV_SIZE>;

// Whether bytes 0 and 1 of a reply (00 01) are judged.
enum class ReplyStart : bool { Ignored, Judged };

// When set, shown every exchange's read with its request's code: `count` as Uart_Recv returned
// it, `read` the bytes read (empty unless count > 0). The programs set it at start-up to tell
// what is waiting on the module's side when it answers with a receiver's asks or not at all,
// which this layer does not know (run/module_state.h). True asks for the same exchange once
// more: the watcher has just ended a transfer that an earlier run left open.
using ReplyWatcher = bool (*)(std::uint8_t code, int count, std::span<const std::uint8_t> read);
extern ReplyWatcher replyWatcher;

// Builds 00 00 <code> 00 <len> <payload> AA into `out` (which must hold payload.size() + 6
// bytes) and returns the frame length.
std::size_t buildFrame(std::uint8_t code, std::span<const std::uint8_t> payload,
                       std::span<std::uint8_t> out);

// One exchange on SERIAL_FD: sends the request frame for `code` and `payload` (buildFrame),
// pauses `pauseS` whole seconds, reads once into `reply` (not cleared first). With a `label`
// both directions are traced ("Send <label>: ...", "Receive <label>: ..."); a failed write is
// logged and otherwise ignored, since the read decides. Returns the count read, or -1 when the
// read failed (nothing had arrived). Every read is shown to the replyWatcher, which may have the
// exchange made once more.
[[nodiscard]] int exchangeFrame(std::uint8_t code, std::span<const std::uint8_t> payload,
                                unsigned pauseS, ReplyBuffer& reply, const char* label);

// True when `reply` holds 00 01 <code> 08 <len>, `len` payload bytes and FRAME_END, all within
// reply.size(); bytes 0 and 1 only with ReplyStart::Judged. With ANY_LENGTH only the header is
// judged (and reply.size() must reach past it).
[[nodiscard]] bool isReply(std::span<const std::uint8_t> reply, std::uint8_t code, int len,
                           ReplyStart start);

// Sends a payload-less command and waits for its one-byte status reply, up to CMD_ATTEMPTS
// times, each followed by a CMD_PAUSE_S pause. Uses the open SERIAL_FD and traces with `label`.
// Returns 1 when accepted, -1 when a read failed (the module had not answered), -2 when no
// acceptable reply came ("No valid response." is logged).
[[nodiscard]] int sendControlCommand(std::uint8_t code, const char* label);
