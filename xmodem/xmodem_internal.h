// Internals of the XMODEM engine, exposed for its tests.
#pragma once

#include <cstdint>

// 1 when the check bytes right behind `sz` payload bytes at `buf` are right (CRC-16 high byte
// first when `crc` is non-zero, else the 8-bit checksum), 0 otherwise.
int check(int crc, const unsigned char* buf, int sz);

// Retry counts and waits of both directions (waits in _inbyte units of about 0.8 s).
inline constexpr int XMODEM_SYNC_TRIES = 15;           // sender: waits for the start request
inline constexpr int XMODEM_MAX_SENDS = 5;             // sender: sends of one block
inline constexpr int XMODEM_MAX_EOTS = 5;              // sender: EOTs before giving up
inline constexpr int XMODEM_HEADER_TRIES = 16;         // receiver: waits for a block header
inline constexpr int XMODEM_REPEAT_BUDGET = 25;        // receiver: repeats in a row at the start
inline constexpr int XMODEM_CANCEL_BYTES = 3;          // CANs sent by a side that gives up
inline constexpr unsigned short XMODEM_LONG_WAIT = 2;  // sync, block headers, EOT answers
inline constexpr unsigned short XMODEM_SHORT_WAIT = 1; // block answers, bytes inside a block

// Sends `count` times `byte` as the last word of an exchange: a NAK, the answer to a cancel
// (ACK) or our own cancel (CAN). Unsent output is discarded first, never after: on a UART or a
// pseudo-terminal that would discard these, and the other side must see them whole.
void finish(std::uint8_t byte, int count);

// Marks an XMODEM transfer as in progress for as long as it lives (from the first byte of the
// transfer role to the end of its EOT handshake): an interrupted run cancels it first, with
// CAN CAN CAN behind the block still leaving the port (link/interrupt.h).
struct TransferInProgress {
    TransferInProgress();
    ~TransferInProgress();
};
