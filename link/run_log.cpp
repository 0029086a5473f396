#include "link/run_log.h"

#include "link/interrupt.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <string>

FILE* log_fp = nullptr;

namespace {

// Taken before main() runs: the header shows when the run started, not when the log opened.
const std::time_t processStart = std::time(nullptr);

// The run log's "-l" value as openRunLog was given it, for a last line after it was closed.
const char* runLogValue = nullptr;

// The run log for a "-l" value: standard output or error, or the file opened for appending,
// close-on-exec (the discovery shell and udevadm inherit no descriptor of ours) and
// line-buffered, so that lines written straight to log_fp reach the file whole and at once,
// just like the ones written here. Null with errno when the file cannot be opened.
FILE* openLogStream(const char* value) {
    if (std::strcmp(value, "stdout") == 0)
        return stdout;
    if (std::strcmp(value, "stderr") == 0)
        return stderr;
    // As fopen(value, "ae") opens it, but not readable by everyone when it is created.
    const int fd = open(value, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, RUN_LOG_MODE);
    if (fd < 0)
        return nullptr;
    FILE* fp = fdopen(fd, "a");
    if (fp == nullptr) {
        const int err = errno;
        close(fd);
        errno = err;
        return nullptr;
    }
    std::setvbuf(fp, nullptr, _IOLBF, BUFSIZ);
    return fp;
}

// Writes and flushes at once. A write blocked on a pipe or terminal that a signal cut short
// ends the run here.
__attribute__((format(printf, 2, 0))) void writeFormatted(FILE* fp, const char* fmt, va_list ap) {
    std::vfprintf(fp, fmt, ap);
    std::fflush(fp);
    endIfInterrupted();
}

// The way out of an interrupted run ends with this line, in the log even when it was closed.
void writeLastLine(void* /*unused*/) {
    if (log_fp == nullptr && runLogValue != nullptr)
        log_fp = openLogStream(runLogValue);
    logPrintf("ERROR: %s\n", strsignal(interruptingSignal()));
}

} // namespace

void traceBytes(const char* prefix, const char* label, const std::uint8_t* data, std::size_t len) {
    std::string line = prefix;
    line += label;
    line += ": ";
    static constexpr char hex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < len; ++i) {
        line += hex[data[i] >> 4];
        line += hex[data[i] & 0x0f];
        line += ' ';
    }
    line += '\n';
    logPrintf("%s", line.c_str());
}

void printLine(const char* text) {
    printOut("%s\n", text);
}

void printOut(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    writeFormatted(stdout, fmt, ap);
    va_end(ap);
}

void printUsage(const char* usageText) {
    printLine("ERROR: argument error");
    FILE* out = log_fp != nullptr ? log_fp : stdout;
    std::fputs(usageText, out);
    std::fflush(out);
}

void logPrintf(const char* fmt, ...) {
    if (log_fp == nullptr)
        return;
    va_list ap;
    va_start(ap, fmt);
    writeFormatted(log_fp, fmt, ap);
    va_end(ap);
}

void formatStartTime(std::time_t t, char* buf, std::size_t size) {
    if (size == 0)
        return;
    buf[0] = '\0';
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr)
        return;
    if (std::strftime(buf, size, "%Y/%m/%d %H:%M:%S %Z", &local) == 0)
        buf[0] = '\0';
}

const char* runStartTime() {
    static char text[START_TIME_SIZE];
    formatStartTime(processStart, text, sizeof text);
    return text;
}

int openRunLog(const char* value, const char* programWord, const char* startTime) {
    FILE* fp = openLogStream(value);
    if (fp == nullptr) {
        const int err = errno;
        printLine("ERROR: cannot open log file");
        printOut("ERROR: %s: %s\n", std::strerror(err), value);
        return -1;
    }
    closeRunLog();
    log_fp = fp;
    runLogValue = value;
    pushInterruptCleanup(writeLastLine, nullptr);
    logPrintf("%s: %s\n", programWord, startTime);
    return 0;
}

void closeRunLog() {
    if (log_fp != nullptr && log_fp != stdout && log_fp != stderr)
        std::fclose(log_fp);
    else if (log_fp != nullptr)
        std::fflush(log_fp);
    log_fp = nullptr;
}

void printError(const char* what) {
    const int err = errno;
    logPrintf("%s: %s\n", what, std::strerror(err));
}
