// What the fuzz targets share besides the fake line: how an oracle reports a failure, the
// frames it expects, a run log that keeps nothing, and how an input becomes an argument vector.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <span>
#include <string_view>
#include <sys/types.h>
#include <vector>

// An oracle failure is a finding like a crash: it names what went wrong and aborts, so
// libFuzzer keeps the input and the replay test fails on it.
[[noreturn]] inline void fuzzFail(const char* what) {
    std::fprintf(stderr, "fuzz oracle: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

// Fails with `what` unless `result` is one of the `documented` results.
inline void expectResult(long result, std::initializer_list<long> documented, const char* what) {
    if (std::ranges::find(documented, result) == documented.end())
        fuzzFail(what);
}

// A command-line parser's result: true for 0 (accepted), false for -1 (a usage error), and a
// failure for anything else.
inline bool accepted(int parseResult) {
    if (parseResult != 0 && parseResult != -1)
        fuzzFail("the parser returned something other than 0 or -1");
    return parseResult == 0;
}

// The request frame 00 00 <code> 00 <length> <payload> AA that an exchange must write, built
// here from the frame layout rather than by the link layer under test.
inline std::vector<std::uint8_t> requestFrame(std::uint8_t code,
                                              std::span<const std::uint8_t> payload = {}) {
    std::vector<std::uint8_t> f(payload.size() + 6, 0x00);
    f[2] = code;
    f[4] = static_cast<std::uint8_t>(payload.size());
    std::copy(payload.begin(), payload.end(), f.begin() + 5);
    f.back() = 0xAA;
    return f;
}

// A run log that takes every line and keeps none, so the traces are formatted as in a run.
inline std::FILE* nullLog() {
    // Takes the bytes without a system call: the run log is flushed after every line.
    static std::FILE* const fp = fopencookie(
        nullptr, "w",
        {nullptr, [](void*, const char*, std::size_t size) { return static_cast<ssize_t>(size); },
         nullptr, nullptr});
    return fp;
}

// The input split at NUL bytes into arguments behind argv[0] = `program`. Each argument and
// the vector itself (argc entries and the closing null) get allocations of exactly their size,
// so a parser that reads past either is caught by AddressSanitizer.
class ArgVector {
public:
    ArgVector(const char* program, std::span<const std::uint8_t> input) {
        add(reinterpret_cast<const std::uint8_t*>(program), std::strlen(program));
        std::size_t start = 0;
        for (std::size_t i = 0; i <= input.size(); ++i) {
            if (i == input.size() || input[i] == 0) {
                if (i > start || i < input.size())
                    add(input.data() + start, i - start);
                start = i + 1;
            }
        }
        argv_ = std::make_unique<char*[]>(words_.size() + 1);
        for (std::size_t i = 0; i < words_.size(); ++i)
            argv_[i] = words_[i].get();
        argv_[words_.size()] = nullptr;
    }
    int argc() const { return static_cast<int>(words_.size()); }
    char** argv() const { return argv_.get(); }
    // True when `value` is one of the arguments itself (not a copy).
    bool holds(const char* value) const {
        for (std::size_t i = 1; i < words_.size(); ++i)
            if (words_[i].get() == value)
                return true;
        return false;
    }
    // True when `value` is one of the arguments, or else the default text `fallback`.
    bool holdsOr(const char* value, std::string_view fallback) const {
        return holds(value) || value == fallback;
    }
    // True when some argument equals `word`.
    bool hasWord(std::string_view word) const {
        for (std::size_t i = 1; i < words_.size(); ++i)
            if (word == words_[i].get())
                return true;
        return false;
    }

private:
    void add(const std::uint8_t* bytes, std::size_t len) {
        auto word = std::make_unique<char[]>(len + 1);
        std::memcpy(word.get(), bytes, len);
        word[len] = '\0';
        words_.push_back(std::move(word));
    }
    std::vector<std::unique_ptr<char[]>> words_;
    std::unique_ptr<char*[]> argv_;
};
