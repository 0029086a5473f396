// The simulated Zigbee coordinator module.
//
// Principles of operation: the module sits on the master side of a pseudo-terminal and reads
// the byte stream the tools write to the slave side. Request frames (00 00 code 00 N payload
// AA) are cut out of that stream; anything that cannot be part of a frame is dropped as junk,
// so the module resynchronises on the next frame however the line was disturbed. Each request
// is answered by the reply its command code calls for, or by the next entry of the reply
// sequence given for that code on the command line, which is how tests make the module slow,
// silent, wrong or chatty. Backup, restore and firmware update hand the line to the XMODEM
// peer (sim/xmodem_peer.h) for one transfer, then go back to reading frames.
//
// Every event goes to the record file as one line written with a single write(), so a test
// can read the record at any moment and a killed simulator loses nothing.
#pragma once

#include "sim/xmodem_peer.h"

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// One way of answering one request.
struct ReplyPlan {
    enum class Kind { Ok, Silent, Status, Raw, Late, Split, Short, Dup };
    Kind kind = Kind::Ok;
    std::uint8_t status = 0; // Status: the status/payload byte
    Bytes raw;               // Raw: exactly these bytes
    unsigned ms = 0;         // Late, Split: milliseconds
    std::size_t count = 0;   // Short: bytes of the normal reply to send
};

struct ModuleConfig {
    std::string recordPath;     // empty: no record
    std::string tablePath;      // empty: the internal table
    std::string blankTablePath; // empty: an empty table after a factory reset
    std::string imagePath;      // empty: received images are dropped
    std::uint8_t versionLo = 0x34;
    std::uint8_t versionHi = 0x12;
    // Versions reported after the first, second, ... firmware image received, the last one
    // repeating; empty: an image never changes the version.
    std::vector<std::pair<std::uint8_t, std::uint8_t>> flashedVersions; // {lo, hi}
    Bytes gatewayId{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    std::map<std::uint8_t, std::vector<ReplyPlan>> replies; // per command code
    PeerOptions peer;
    bool startInReceiver = false; // starts waiting in its firmware receiver
    bool stayInReceiver = false;  // an image transfer that did not complete leaves it waiting
    bool versionInImage = false;  // a received image's first two bytes are its version (A.B C.D)
};

// A request frame cut out of the byte stream.
struct Frame {
    std::uint8_t code = 0;
    Bytes payload;
    Bytes raw; // the whole frame as received
};

// Outcome of scanning the front of the receive buffer.
struct ScanResult {
    std::size_t junk = 0;     // bytes at the front that belong to no frame
    std::size_t frameLen = 0; // > 0: a whole frame follows the junk
    bool waiting = false;     // the bytes after the junk may still become a frame
};

// Looks at `buf` for the first whole request frame. Bytes before it are junk. When the
// bytes after the junk could still grow into a frame, `waiting` is set and they are kept.
ScanResult scanFrames(std::span<const std::uint8_t> buf);

// Option values; each returns false for a malformed value.
bool parseReplyOption(std::string_view value, ModuleConfig& cfg);     // "CODE=HOW[,HOW...]"
bool parseVersion(std::string_view value, ModuleConfig& cfg);         // "A.B.C.D", each 0..15
bool parseFlashedVersions(std::string_view value, ModuleConfig& cfg); // "A.B.C.D[,A.B.C.D...]"
bool parseHexBytes(std::string_view value, Bytes& out);               // "0a0B..", even length
bool parseAskInterval(std::string_view value, ModuleConfig& cfg);     // "MS", 1..600000

// The reply to `frame` when its plan is "ok" (or the base of status/late/split/short/dup).
// Empty for codes the module does not know.
Bytes normalReply(const ModuleConfig& cfg, const Frame& frame);

// The running module.
struct Module {
    ModuleConfig cfg;
    int masterFd = -1;
    int recordFd = -1;
    Bytes rxBuf;
    std::map<std::uint8_t, std::size_t> requestCount;
    std::size_t imagesReceived = 0;
    Bytes internalTable; // used when no --table file was given

    // Appends one line to the record file (no-op without one).
    void record(std::string_view line) const;
};

// Opens the record file and fills the internal table. Returns false (with a message on
// stderr) when the record file cannot be opened.
bool moduleInit(Module& m, ModuleConfig cfg, int masterFd);

// Plays the module until `stop` becomes non-zero. Returns 0, or 1 when the master side of
// the terminal failed for good.
int moduleRun(Module& m, const volatile std::sig_atomic_t& stop);

// The transfer currently running, for the signal handler: while it is set, a terminating
// signal ends the process at once instead of waiting for the transfer to time out.
extern volatile std::sig_atomic_t g_inTransfer;

// Lower-case, space-separated hex ("00 01 aa").
std::string hexBytes(std::span<const std::uint8_t> bytes);
