// Shared pieces of the fuzz targets: a property check that stops the run as
// a crash (so libFuzzer keeps the input as an artifact), and the cutting of
// one fuzz input into the several texts a parser takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

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

#define FUZZ_CHECK(condition, detail)                                                   \
    do {                                                                                \
        if (!(condition)) {                                                             \
            std::fprintf(stderr, "PROPERTY BROKEN at %s:%d: %s\n  detail: %s\n",        \
                         __FILE__, __LINE__, #condition, fuzz_shown(detail).c_str());   \
            std::abort();                                                               \
        }                                                                               \
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

inline char fuzz_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
