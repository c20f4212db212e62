// Counter files under hostile bytes, as quillmar -stats reads and sums them:
// each piece of the input is one process's file, folded into the retired
// counts as the file of a process that died would be. Whatever the bytes,
// nothing may crash, and the retired counts read back and written again
// (as every later fold does) must keep every series at the same sum and
// every file named as held: a fold must never change what was counted.
#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "stats/exposition.h"

namespace {

// A value as the exposition writes it: whole units and billionths.
using total = unsigned __int128;
constexpr total largest_whole = total{UINT64_MAX} * 1'000'000'000u;
constexpr total largest = largest_whole + 999'999'999u;

bool read_value(std::string_view text, total& out, bool& decimal) {
    const std::size_t dot = text.find('.');
    const std::string_view whole = text.substr(0, dot);
    if (whole.empty()) return false;
    total units = 0;
    for (char c : whole) {
        if (c < '0' || c > '9') return false;
        units = units * 10 + static_cast<unsigned>(c - '0');
    }
    std::uint64_t nanos = 0;
    decimal = dot != std::string_view::npos;
    if (decimal) {
        const std::string_view part = text.substr(dot + 1);
        if (part.size() != 9) return false;
        for (char c : part) {
            if (c < '0' || c > '9') return false;
            nanos = nanos * 10 + static_cast<unsigned>(c - '0');
        }
    }
    out = units * 1'000'000'000u + nanos;
    return true;
}

// Every series of a written exposition and its sum across the families
// that hold it (a re-read may merge families, never lose a count).
std::map<std::string, total> series_sums(const std::string& text) {
    struct running {
        total sum = 0;
        bool decimal = false;
    };
    std::map<std::string, running> series;
    for (std::string line : qmtest::split_lines(text)) {
        if (!line.empty() && line.back() == '\n') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const std::size_t blank = line.rfind(' ');
        total value = 0;
        bool decimal = false;
        FUZZ_CHECK(blank != std::string::npos &&
                       read_value(std::string_view(line).substr(blank + 1), value, decimal),
                   line);
        running& r = series[line.substr(0, blank)];
        r.sum += value;
        r.decimal = r.decimal || decimal;
    }
    // The sums stop at the largest the exposition holds: 2^64-1 for a
    // series of whole numbers, that and nine nines for one with decimals.
    std::map<std::string, total> sums;
    for (const auto& [key, r] : series)
        sums[key] = std::min(r.sum, r.decimal ? largest : largest_whole);
    return sums;
}

std::vector<std::string> absorbed_lines(const std::string& text) {
    std::vector<std::string> names;
    for (const std::string& line : qmtest::split_lines(text))
        if (line.rfind("# absorbed ", 0) == 0) names.push_back(line);
    return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    exposition retired;
    for (const std::string& file : fuzz_pieces(data, size, '\x01')) retired.add(file);
    const std::string written = retired.text(true);

    exposition again;
    const std::size_t skipped = again.add(written);
    FUZZ_CHECK(skipped == 0, written);
    const std::string rewritten = again.text(true);
    FUZZ_CHECK(series_sums(rewritten) == series_sums(written), written);
    FUZZ_CHECK(absorbed_lines(rewritten) == absorbed_lines(written), written);
    return 0;
}
