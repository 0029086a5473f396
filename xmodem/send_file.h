// Loading a file whole for the XMODEM sender.
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

// Reads `path` whole into `out`. A file larger than XMODEM_MAX_SEND_SIZE (or an empty one,
// unless `allowEmpty`) is refused with EFBIG under LoadStep::Size before anything is allocated.
// A directory fails under Read with EISDIR; a FIFO, socket or character device, which has no
// size to send and may never end, under Seek with ESPIPE. Never blocks on a FIFO without a
// writer. A short read reports EIO.
[[nodiscard]] LoadResult loadSendFile(const char* path, bool allowEmpty, SendFile& out);

// Prints the line that follows the two lines naming a bad file on standard output:
// "ERROR: cannot open <path>", "ERROR: cannot seek <path>", "ERROR: invalid file size, <path>"
// or "ERROR: cannot read <path>".
void printLoadStepLine(LoadStep step, const char* path);
