// The simulated module's XMODEM roles: sender (the module hands out its paired-device table)
// and receiver (the module takes a restore file or a firmware image). They work on the master
// side of a pseudo-terminal and can be told to misbehave in the ways the tools must survive.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Blocks are counted from 1 in the order they are first sent or received (not by their
// number on the line, which wraps); 0 turns a per-block knob off.
struct PeerOptions {
    enum class Start { Crc, Checksum, IgnoreC };
    enum class Blocks { Small, Large, Mixed };

    Start start = Start::Crc;      // --xm-start crc|checksum|ignore-c (receiver: first request;
                                   // sender: checksum/ignore-c both wait for NAK, ignoring "C")
    Blocks blocks = Blocks::Small; // --xm-block 128|1024|mixed (sender)
    bool nakAll = false;           // --xm-nak-all (receiver: answer every block with NAK)
    int nakFirstAt = 0;            // --xm-nak-first N (receiver: NAK the first send of block N)
    int cancelAt = 0;              // --xm-cancel N (CAN CAN instead of block N / its answer)
    int canJunkAt = 0;             // --xm-can-junk N (a lone CAN and a junk byte at block N)
    int repeatAt = 0;              // --xm-repeat N[xK] (sender: send block N again K times)
    int repeatCount = 1;
    int dupAckAt = 0;            // --xm-dup-ack N (receiver: ACK block N twice)
    int badComplementAt = 0;     // --xm-bad-complement N (sender: first send of block N)
    int badNumberAt = 0;         // --xm-bad-number N (sender: first send of block N)
    int badCheckAt = 0;          // --xm-bad-check N (sender: first send of block N)
    bool zeroBlockFirst = false; // --xm-zero-block (sender: a block numbered 0 before block 1)
    bool eotFirst = false;       // --xm-eot-first (sender: EOT instead of any block)
    bool silent = false;         // --xm-silent (never start, never answer)
    bool noEotAck = false;       // --xm-no-eot-ack (receiver: never acknowledge EOT)
    int pauseAt = 0;             // --xm-pause N:MS (sender: pause inside block N; receiver:
    int pauseMs = 0;             //   before answering block N)
    int stopAt = 0;              // --xm-stop N (go silent at block N)
    int timeoutMs = 10000;       // --xm-timeout MS (longest wait for the other side)
    int askEveryMs = 1000;       // receiver: "C"/NAK repeated this often until a block
    // Receiver of a module stranded in its firmware receiver: it asks for ever, takes frames
    // for line noise, and a stray block header (or EOT) before the first good block only
    // earns a NAK.
    bool stranded = false;
};

// Outcome of one simulated transfer.
struct PeerResult {
    int status = 0;                  // > 0 bytes moved, <= 0 failure code (same meaning as ours)
    std::vector<std::uint8_t> data;  // receiver: payloads accepted, fill included
    std::vector<std::string> events; // human-readable trace ("tx block 3", "rx NAK", ...)
};

// Plays the sender: waits for "C"/NAK on `fd`, sends `data`, ends with EOT; a CAN CAN from the
// receiver ends it at any of these.
PeerResult peerSend(int fd, std::span<const std::uint8_t> data, const PeerOptions& opt);

// Plays the receiver: requests the start, takes blocks until EOT.
PeerResult peerReceive(int fd, const PeerOptions& opt);

// Applies one "--xm-..." option (`value` empty for flags). Returns false for an unknown name
// or a bad value.
bool parsePeerOption(std::string_view name, std::string_view value, PeerOptions& opt);

// True when the "--xm-..." option `name` takes a value.
bool peerOptionTakesValue(std::string_view name);

// Lines describing the --xm-... options, for the simulator's usage text.
const char* peerOptionsUsage();
