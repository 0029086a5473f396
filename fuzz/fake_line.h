// The module's line for the fuzz targets: the fake behind link/os.h.
//
// Principles of operation
// -----------------------
// The fuzz input is the line. Its first byte holds flags; the rest is a series of chunks, each
// a length (one byte 0..127, or two bytes 0x80|high, low for up to 32767) and that many bytes.
// Chunk 0 waits on the line from the start; chunk k arrives right behind the program's k-th
// write, as the module's answer to it. Bytes wait until they are read or discarded (TCIFLUSH).
// A short last chunk simply ends the input.
//
// Time is virtual: a pause moves the clock on by its length, a poll with nothing waiting by
// its whole timeout, and reading or writing takes no time. When the input is used up the line
// stays silent, or, with flag LINE_HANGS_UP, hangs up as an unplugged adapter does: poll reports
// the descriptor at once, writes fail with EIO, and reads fail with EIO or, with LINE_EOF too,
// return 0 (end of file).
//
// Every read, write and input discard is recorded in order, for the targets' oracles; a write
// is recorded as the program made it, also when the hung-up line made it fail, and a read that
// met the end of file as an empty read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

inline constexpr std::uint8_t LINE_HANGS_UP = 0x01;
inline constexpr std::uint8_t LINE_EOF = 0x02;

// Longest virtual run any target may take; past it the line aborts as a hang.
inline constexpr std::int64_t LINE_MAX_RUN_US = 24LL * 3600 * 1000000;

enum class LineOp : std::uint8_t { Read, Write, Discard };

struct LineEvent {
    LineOp op;
    std::span<const std::uint8_t> bytes; // valid until the next lineStart
};

// Starts a run on `input` (which must stay valid for the run): clock at zero, nothing
// recorded.
void lineStart(const std::uint8_t* input, std::size_t size);

// What the program did on the line so far. Consecutive reads, with no write or discard between
// them, form one event, whatever their sizes.
std::vector<LineEvent> lineEvents();

// Virtual microseconds since lineStart.
std::int64_t lineNowUs();

// When the line fell quiet for good: every chunk delivered and every byte read or discarded.
// -1 while input remains.
std::int64_t lineQuietSinceUs();
