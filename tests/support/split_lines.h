// A text cut into its lines, each keeping its line end: the tests read
// answers and log files this way, and so do the fuzz targets, which link
// nothing of the test support but this header.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qmtest {

inline std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t lf = text.find('\n', start);
        std::size_t end = lf == std::string::npos ? text.size() : lf + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

}  // namespace qmtest
