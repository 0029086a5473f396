// Loading a file whole for the XMODEM sender, and telling the user when it cannot be.
//
// Restore files and firmware images are read completely, and checked, before the module is
// told to expect a transfer: a module that has accepted the command and then gets nothing
// stays waiting, so every local problem with the file must surface first.
#pragma once

#include <cstdint>
#include <memory>

// The sender reports its result as an int32 counting whole 128-byte blocks, fill included, and
// n bytes take n / 128 + 1 blocks. The result must be able to reach the size, so this is the
// largest count the sender can carry whole: 2 GiB - 129 bytes.
inline constexpr std::int64_t XMODEM_MAX_SEND_SIZE = (std::int64_t{1} << 31) - 129;

// The load step a failure is reported under; each has its own line for the user.
enum class LoadStep { None, Open, Seek, Size, Read };

struct SendFile {
    std::unique_ptr<unsigned char[]> data;
    std::int64_t size = 0;
};

struct LoadResult {
    LoadStep failedStep = LoadStep::None; // None on success
    int err = 0;                          // errno describing the failure
};

// Reads `path` whole into `out`. A file larger than XMODEM_MAX_SEND_SIZE is refused with EFBIG,
// an empty one with ENODATA, both under LoadStep::Size before anything is allocated.
// A directory fails under Read with EISDIR; a FIFO, socket or character device, which has no
// size to send and may never end, under Seek with ESPIPE. Never blocks on a FIFO without a
// writer. A short read reports EIO.
[[nodiscard]] LoadResult loadSendFile(const char* path, SendFile& out);

// "<invalidLine>" and "ERROR: <strerror(errno)>: <path>" on standard output: the two lines
// naming a file that cannot be used.
void printFileError(const char* invalidLine, const char* path);

// loadSendFile, reporting a failure on standard output: printFileError with the failure's errno,
// then the failing step's line ("ERROR: cannot open <path>", "ERROR: cannot seek <path>",
// "ERROR: invalid file size, <path>" or "ERROR: cannot read <path>"). Nothing goes to the run
// log. Returns 0, or -1.
[[nodiscard]] int loadFileToSend(const char* path, const char* invalidLine, SendFile& out);
