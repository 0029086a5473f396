// The simulated module's XMODEM roles: sender (the module hands out its paired-device table)
// and receiver (the module takes a restore file or a firmware image). They work on the master
// side of a pseudo-terminal and can be told to misbehave in the ways the tools must survive.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct PeerOptions {
    // Knobs (start mode, block sizes, faults to inject); see parsePeerOption for their
    // command-line names.
};

// Outcome of one simulated transfer.
struct PeerResult {
    int status = 0;                 // > 0 bytes moved, <= 0 failure code (same meaning as ours)
    std::vector<std::uint8_t> data; // receiver: payloads accepted, fill included
    std::vector<std::string> events; // human-readable trace ("tx block 3", "rx NAK", ...)
};

// Plays the sender: waits for "C"/NAK on `fd`, sends `data`, ends with EOT.
PeerResult peerSend(int fd, std::span<const std::uint8_t> data, const PeerOptions& opt);

// Plays the receiver: requests the start, takes blocks until EOT.
PeerResult peerReceive(int fd, const PeerOptions& opt);

// Applies one "--xm-..." option (`value` empty for flags). Returns false for an unknown name
// or a bad value.
bool parsePeerOption(std::string_view name, std::string_view value, PeerOptions& opt);

// Lines describing the --xm-... options, for the simulator's usage text.
const char* peerOptionsUsage();
