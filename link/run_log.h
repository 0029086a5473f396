// The run log and the outcome lines: where every run says what it did.
//
// Principles of operation
// -----------------------
// The run log (`log_fp`) receives every diagnostic line of a run: the header, traces, library
// failures. It is standard output, standard error, or a file opened for appending.
//
// What a run has to say to its caller (outcome words, "ERROR: ..." lines) goes to standard
// output through `printLine`/`printOut`, flushed at once so that it keeps its place among the
// run-log lines when both reach the same terminal or file.
//
// Every line passes the interruption checkpoint (link/interrupt.h); once opened, the run log
// registers its last line, "ERROR: <strsignal text>", with the way out of an interrupted run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

// The run log; null until openRunLog succeeded.
extern FILE* log_fp;

inline constexpr std::size_t START_TIME_SIZE = 64;
// A new run log file: it carries the gateway ID, which authorises a factory reset, so it is
// for its owner and the log readers' group only (less what the umask removes).
inline constexpr unsigned RUN_LOG_MODE = 0640;

// The time the program started, as the run-log header shows it ("%Y/%m/%d %H:%M:%S %Z").
const char* runStartTime();

// Formats `t` as local time "%Y/%m/%d %H:%M:%S %Z" into `buf` (START_TIME_SIZE bytes).
void formatStartTime(std::time_t t, char* buf, std::size_t size);

// Opens the run log. `value` is "stdout", "stderr" or a file path (opened for appending).
// On failure prints "ERROR: cannot open log file" and "ERROR: <strerror>: <value>" on stdout
// and returns -1; otherwise writes the header "<programWord>: <startTime>" and returns 0.
// A log file is line-buffered, so lines written straight to log_fp are not lost either.
[[nodiscard]] int openRunLog(const char* value, const char* programWord, const char* startTime);

// "<text>\n" on standard output, flushed.
void printLine(const char* text);
// printf to standard output, flushed.
void printOut(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// "ERROR: argument error" on standard output, then `usageText` to the run log when one is
// open, otherwise to standard output.
void printUsage(const char* usageText);

// Logs "<what>: <strerror(errno)>" to the run log. Nothing goes to stdout.
void printError(const char* what);

// Writes to the run log (nothing while it is not open) and flushes it, so a run that is killed
// loses no line and "-l stdout" keeps log lines in order with what the program prints.
void logPrintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Logs "<prefix><label>: xx xx ... \n", the trace line of one port transfer.
void traceBytes(const char* prefix, const char* label, const std::uint8_t* data, std::size_t len);

// Closes the run log if it is a file (standard streams are only flushed, never closed) and
// sets log_fp to null.
void closeRunLog();
