#include "config/ascii_text.h"

#include <cstdio>
#include <cstring>

std::string format_text(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (needed > 0) {
        text.resize(static_cast<std::size_t>(needed) + 1);
        std::vsnprintf(&text[0], text.size(), format, args);
        text.resize(std::strlen(text.c_str()));
    }
    return text;
}
