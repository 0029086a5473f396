// A self-updating progress line on standard error for a person watching a transfer.
//
// It is drawn only while standard error is a terminal and the run log goes somewhere else, so
// scripts, cron and anyone reading the run log on that terminal see exactly what they saw
// without it. The line never reaches standard output or the run log, and it is erased when
// the transfer ends, whatever its outcome. It is drawn only while the program is in the
// foreground of its terminal, and never holds a transfer up: a drawing the terminal cannot
// take at once (output stopped with Ctrl-S, a stalled SSH channel) is skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Starts showing progress for a transfer of `total` bytes (-1: not known in advance) by
// installing the XMODEM progress hook, when standard error is a terminal that the run log
// does not also write to. Otherwise does nothing.
void progressBegin(std::int64_t total);

// Erases the line if one was drawn and removes the hook. Safe to call when progressBegin
// showed nothing.
void progressEnd();

// The text of the line (without the carriage return and erase codes) into `out`, always
// NUL-terminated; returns its length. `total` < 0 means unknown, `bytesPerSecond` < 0 that no
// rate can be given yet. Fields that would not fit in `columns` - 1 characters are left out
// (the last column stays free so the terminal never wraps the line).
std::size_t formatProgress(std::span<char> out, std::int64_t done, std::int64_t total,
                           double bytesPerSecond, int columns);
