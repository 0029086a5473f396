// radioflash: writes a firmware image into the Zigbee coordinator module, or reports the
// module's current firmware version.
//
// Principles of operation
// -----------------------
// A run parses its command line, opens the run log, picks the serial device (the hub's on-board
// port with -ohub, otherwise the USB-serial adapter that discovery finds) and runs one mode:
//
//   version query  `GetCurrentVersion` opens the port, asks for the version and prints it.
//   update run     the image is loaded whole into memory first; only then `Update_Init` opens
//                  the port and switches the module into its firmware receiver, and the XMODEM
//                  sender moves the image.
//
// The two module exchanges open the port themselves and leave it in SERIAL_FD. Their timing
// comes from fixed whole-second pauses, because the port is non-blocking and a read returns
// only what has already arrived.
//
// The outcome goes to standard output (a word, the version, or lines beginning "ERROR: ") and
// into the exit status; every detail goes to the run log.
#pragma once

#include <cstddef>

// Fixed constants of radioflash, all in one place.
inline constexpr const char* RADIOFLASH_WORD = "radioflash"; // run-log header word
inline constexpr const char* RADIOFLASH_DEFAULT_LOG = "/var/log/radioimage.log";
inline constexpr unsigned REPLY_PAUSE_S = 1;         // after a version or prepare request
inline constexpr unsigned START_PAUSE_S = 2;         // after the update start request
inline constexpr unsigned SETTLE_PAUSE_S = 5;        // after the transfer, before the last read
inline constexpr int EXCHANGE_RETRIES = 5;           // unacceptable replies tolerated per exchange
inline constexpr int UPDATE_START_RESTARTS = 6;      // start replies not ending in 'C' tolerated
inline constexpr std::size_t UPDATE_START_ZEROS = 8; // payload of the update start request

// Exit statuses of the modes (the process shows -1 as 255).
inline constexpr int EXIT_UPDATE_DONE = 0;
inline constexpr int EXIT_VERSION_SHOWN = 1;
inline constexpr int EXIT_FAILURE_STATUS = -1;

// What the command line asked for.
struct RunOptions {
    bool currentVersion = false;
    const char* firmware = nullptr; // image path, or null
    bool onBoard = false;           // -ohub: the hub's on-board port, no discovery
    const char* logValue = RADIOFLASH_DEFAULT_LOG;
};

// Fills `opt` from argv[1..argc-1]. Returns 0, or -1 on an unknown word or a missing value
// (nothing is printed; the caller calls usage()).
[[nodiscard]] int parseArgs(int argc, char* const* argv, RunOptions& opt);

// printUsage with radioflash's usage text; returns EXIT_FAILURE_STATUS.
int usage();

// Asks the module on `device` for its firmware version. Returns 1 after printing the version
// line (port closed), -1 when the port did not open or nothing had arrived after the pause,
// -2 when no acceptable reply came in EXCHANGE_RETRIES + 1 attempts (port left open).
[[nodiscard]] int GetCurrentVersion(const char* device);

// Opens `device` into SERIAL_FD and switches the module into its firmware receiver. Returns 0
// with the port open and the module waiting for the first XMODEM block, or -1. A module already
// waiting in its firmware receiver (an earlier update was cut short, run/module_state.h)
// answers two prepare requests in a row with nothing but 'C' or NAK, or with one of them soon
// after a silent pause: it gets no start request, and 0 is returned (logged). From the first
// start request (or that finding) the transfer is the module's (beginModuleTransfer); a -1
// after it has cancelled it.
[[nodiscard]] int Update_Init(const char* device);

// The two modes; each returns the run's exit value.
[[nodiscard]] int runVersionQuery(const char* device);
[[nodiscard]] int runUpdate(const char* device, const char* firmware);
