// Numbers written by people: in the ini file, on a command line. One reader
// for all of them, so that every setting treats blanks, signs and numbers too
// large for it alike, and " -1" can never turn into the largest number.
#pragma once

#include <optional>
#include <string_view>

enum class number_form {
    // Digits alone, at least one: no blank, no sign, nothing after them.
    digits,
    // As C's atol reads a text: leading blanks, an optional sign, then the
    // digits; whatever follows them is ignored, and no digits read as 0.
    leading,
};

// The number, or nothing when the text is not of the form or its value lies
// outside lowest to highest (a value too large for any type included).
std::optional<long long> read_number(std::string_view text, number_form form, long long lowest,
                                     long long highest);
