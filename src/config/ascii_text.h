// Letter-case comparison for the system's own words: command names, options
// and ini keys. Only A to Z fold, so the locale never decides which line or
// key is ours.
#pragma once

#include <cstddef>
#include <string_view>

inline char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool ascii_equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    }
    return true;
}
