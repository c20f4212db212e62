// Every vector made by doveadm, mkpasswd, the argon2 command and hashlib
// (scripts/scheme-vectors.py) verifies with its password, and not with the
// password changed in its first byte.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "schemes/schemes.h"

namespace {

std::string unescape(const std::string& text) {
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

struct vector_line {
    std::string made_by, default_scheme, password, stored;
};

std::vector<vector_line> read_vectors() {
    std::ifstream in(QM_SOURCE_DIR "/tests/schemes/vectors.txt");
    std::vector<vector_line> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> fields;
        std::size_t start = 0, tab;
        while ((tab = line.find('\t', start)) != std::string::npos) {
            fields.push_back(line.substr(start, tab - start));
            start = tab + 1;
        }
        fields.push_back(line.substr(start));
        if (fields.size() != 4) ADD_FAILURE() << "bad vector line: " << line;
        if (fields.size() != 4) continue;
        lines.push_back({fields[0], fields[1] == "-" ? "" : fields[1], unescape(fields[2]),
                         unescape(fields[3])});
    }
    return lines;
}

TEST(SchemeVectors, EachMatchesItsPasswordAndNoOther) {
    ASSERT_TRUE(schemes_init());
    std::vector<vector_line> vectors = read_vectors();
    ASSERT_GT(vectors.size(), 250u);
    verify_options weak_allowed;
    weak_allowed.allow_weak = true;
    for (const vector_line& v : vectors) {
        SCOPED_TRACE(v.made_by + " | " + v.stored);
        verify_result right = verify_password(v.password, v.stored, v.default_scheme, weak_allowed);
        EXPECT_EQ(right.outcome, verify_outcome::match) << right.scheme << ": " << right.detail;
        std::string changed = v.password;
        changed[0] = static_cast<char>(changed[0] ^ 1);
        EXPECT_EQ(verify_password(changed, v.stored, v.default_scheme, weak_allowed).outcome,
                  verify_outcome::mismatch);
    }
}

}  // namespace
