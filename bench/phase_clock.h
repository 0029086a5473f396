// Timing of the phases of one XMODEM transfer, from the bytes a paced relay delivers.
#pragma once

#include "bench/paced_relay.h"
#include "xmodem/xmodem.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

using Clock = std::chrono::steady_clock;
inline constexpr double LINE_BYTES_PER_SECOND = 11520.0;

// Stop-and-wait: a CRC block (size + 5 bytes) and its one-byte answer per payload; the best a
// line can carry in payload bytes per second.
inline double lineLimit(int blockSize) {
    return LINE_BYTES_PER_SECOND * blockSize / (blockSize + 6);
}

// Follows the data direction block by block (so payload bytes are never taken for control
// bytes) and the answer direction, to time the phases.
struct PhaseClock {
    std::mutex mutex;
    RelayDir dataDir = RelayDir::AtoB;
    bool crc = true;
    // False: nothing counts before the receiver's first request ('C' or NAK), so that the
    // module's reply to the command that starts a backup is not taken for a block.
    bool armed = true;
    int skip = 0; // bytes left of the current block
    std::optional<Clock::time_point> firstHeader, eot, eotAck;
    long headers = 0;
    // Turnarounds: last block byte -> its answer (receiver), answer -> next header (sender).
    std::optional<Clock::time_point> blockEnd, answer;
    double receiverTurn = 0, senderTurn = 0;
    long turns = 0;

    // Makes this clock the relay's tap; it must outlive the relay.
    void tapInto(RelayOptions& options) {
        options.tap = [this](RelayDir d, std::uint8_t b, Clock::time_point at) {
            onByte(d, b, at);
        };
    }

    void onByte(RelayDir dir, std::uint8_t b, Clock::time_point at) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!armed) {
            armed = dir != dataDir && (b == 'C' || b == NAK);
            return;
        }
        if (dir == dataDir) {
            if (skip > 0) {
                if (--skip == 0)
                    blockEnd = at;
                return;
            }
            if (b == SOH || b == STX) {
                ++headers;
                if (answer && blockEnd) {
                    senderTurn += std::chrono::duration<double>(at - *answer).count();
                    receiverTurn += std::chrono::duration<double>(*answer - *blockEnd).count();
                    ++turns;
                }
                answer.reset();
                if (!firstHeader)
                    firstHeader = at;
                skip = (b == STX ? 1024 : 128) + 2 + (crc ? 2 : 1);
            } else if (b == EOT && firstHeader && !eot) {
                eot = at;
            }
        } else if (eot && !eotAck && b == ACK) {
            eotAck = at;
        } else if (!answer && blockEnd) {
            answer = at;
        }
    }
};
