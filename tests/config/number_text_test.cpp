#include "config/number_text.h"

#include <gtest/gtest.h>

#include <optional>

// Every setting and option reads its numbers here, so the rule for blanks,
// signs and numbers too large is the same for all of them.
TEST(ReadNumber, BlanksSignsAndOverflow) {
    const auto none = std::optional<long long>();
    struct row {
        const char* text;
        number_form form;
        long long lowest, highest;
        std::optional<long long> read;
    };
    const number_form d = number_form::digits, l = number_form::leading;
    const row rows[] = {
        {"12", d, 0, 100, 12},
        {"0", d, 0, 100, 0},
        {"007", d, 0, 100, 7},
        {"", d, 0, 100, none},
        {" 1", d, 0, 100, none},
        {"1 ", d, 0, 100, none},
        {"-1", d, 0, 100, none},
        {" -1", d, 0, 100, none},
        {"+3", d, 0, 100, none},
        {"0x10", d, 0, 100, none},
        {"101", d, 0, 100, none},
        {"0", d, 1, 100, none},
        {"2147483647", d, 0, 2147483647, 2147483647},
        {"2147483648", d, 0, 2147483647, none},
        {"99999999999999999999999999", d, 0, 2147483647, none},
        {"18446744073709551617", d, 0, 4294967295LL, none},
        {"12", l, 0, 4294967295LL, 12},
        {"  -7x", l, -10, 10, -7},
        {"+3", l, 0, 10, 3},
        {"\t 42 and more", l, 0, 100, 42},
        {"abc", l, 0, 10, 0},
        {"", l, 0, 10, 0},
        {"-1", l, 0, 4294967295LL, none},
        {"4294967295", l, 0, 4294967295LL, 4294967295LL},
        {"4294967296", l, 0, 4294967295LL, none},
        {"-99999999999999999999999999", l, -10, 10, none},
    };
    for (const row& r : rows)
        EXPECT_EQ(read_number(r.text, r.form, r.lowest, r.highest), r.read)
            << "'" << r.text << "' " << (r.form == d ? "digits" : "leading");
}
