#include "config/number_text.h"

std::optional<long long> read_number(std::string_view text, number_form form, long long lowest,
                                     long long highest) {
    std::size_t i = 0;
    bool negative = false;
    if (form == number_form::leading) {
        while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    }
    const std::size_t first_digit = i;
    // Accumulated as a magnitude that stops at a bound past every other, so
    // that no number of digits overflows.
    const unsigned long long ceiling = 1ULL << 62;
    unsigned long long magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        magnitude = magnitude >= ceiling / 10
                        ? ceiling
                        : magnitude * 10 + static_cast<unsigned>(text[i] - '0');
    if (form == number_form::digits && (i == first_digit || i != text.size())) return std::nullopt;
    if (magnitude >= ceiling) return std::nullopt;
    const long long value =
        negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    if (value < lowest || value > highest) return std::nullopt;
    return value;
}
