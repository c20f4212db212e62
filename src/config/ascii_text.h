// Small text helpers shared by every layer above the class layer. Letter
// case is folded for A to Z only, so the locale never decides which line or
// key is ours; blanks are space and TAB.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
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

inline bool is_blank(char c) { return c == ' ' || c == '\t'; }

// What a line's end may hold besides its text: blanks and the line end.
inline bool is_blank_or_line_end(char c) { return is_blank(c) || c == '\r' || c == '\n'; }

// The whole text of a C format with its arguments, however long: measured
// first, then formatted. A NUL inside an argument ends the text, as it
// would in C.
std::string format_text(const char* format, va_list args);
