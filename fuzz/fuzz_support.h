// Shared pieces of the fuzz targets: a property check that stops the run as
// a crash (so libFuzzer keeps the input as an artifact), the cutting of one
// fuzz input into the several texts a parser takes, and the files that stand
// in for a target's standard streams. Lines are cut by the tests' own
// qmtest::split_lines.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/split_lines.h"

// A broken property is as much a finding as a crash: it is reported on
// stderr with the offending text shown escaped, then the run aborts.
inline std::string fuzz_shown(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

#define FUZZ_CHECK(condition, detail)                                                      \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "PROPERTY BROKEN at %s:%d: %s\n  detail: %s\n", __FILE__, \
                         __LINE__, #condition, fuzz_shown(detail).c_str());                \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

// The input cut at every `separator` byte: n separators give n+1 pieces.
inline std::vector<std::string> fuzz_pieces(const uint8_t* data, std::size_t size, char separator) {
    std::vector<std::string> pieces(1);
    for (std::size_t i = 0; i < size; ++i) {
        char c = static_cast<char>(data[i]);
        if (c == separator)
            pieces.emplace_back();
        else
            pieces.back() += c;
    }
    return pieces;
}

inline char fuzz_upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// What a file standing in for stdout or stderr has received.
inline std::string fuzz_read_all(int fd) {
    std::string text;
    off_t end = ::lseek(fd, 0, SEEK_END);
    text.resize(static_cast<std::size_t>(end));
    if (end > 0 && ::pread(fd, &text[0], text.size(), 0) != end) std::abort();
    return text;
}

// Empties such a file for the next input.
inline void fuzz_empty_file(int fd) {
    if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) std::abort();
}
