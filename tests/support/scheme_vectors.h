// The password-scheme test vectors of tests/schemes/vectors.txt (made by
// doveadm, mkpasswd, the argon2 command and hashlib), read for the scheme
// tests and the whole-program tests alike.
#pragma once

#include <fstream>
#include <string>
#include <vector>

namespace qmtest {

struct scheme_vector {
    std::string made_by;
    std::string default_scheme;  // the scheme of an unprefixed value; empty for a prefixed one
    std::string password, stored;
};

// The file writes a backslash as \\ and a byte outside printable ASCII as \xNN.
inline std::string unescape_vector_text(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
            out += '\\';
            ++i;
        } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

// Every vector line of the file; `bad` gets the lines without four fields.
inline std::vector<scheme_vector> read_scheme_vectors(const std::string& path,
                                                      std::vector<std::string>* bad = nullptr) {
    std::ifstream in(path);
    std::vector<scheme_vector> vectors;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> fields;
        for (std::size_t start = 0, tab;; start = tab + 1) {
            tab = line.find('\t', start);
            fields.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
            if (tab == std::string::npos) break;
        }
        if (fields.size() != 4) {
            if (bad) bad->push_back(line);
            continue;
        }
        vectors.push_back({fields[0], fields[1] == "-" ? "" : fields[1],
                           unescape_vector_text(fields[2]), unescape_vector_text(fields[3])});
    }
    return vectors;
}

}  // namespace qmtest
