// Every vector made by doveadm, mkpasswd, the argon2 command and hashlib
// (scripts/scheme-vectors.py) verifies with its password, and not with the
// password changed in its first byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "schemes/schemes.h"
#include "support/scheme_vectors.h"

namespace {

using qmtest::scheme_vector;

TEST(SchemeVectors, EachMatchesItsPasswordAndNoOther) {
    ASSERT_TRUE(schemes_init());
    std::vector<std::string> bad;
    std::vector<scheme_vector> vectors =
        qmtest::read_scheme_vectors(QM_SOURCE_DIR "/tests/schemes/vectors.txt", &bad);
    EXPECT_EQ(bad, std::vector<std::string>{});
    ASSERT_GT(vectors.size(), 250u);
    verify_options weak_allowed;
    weak_allowed.allow_weak = true;
    for (const scheme_vector& v : vectors) {
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
