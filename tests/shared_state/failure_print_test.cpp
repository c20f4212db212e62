#include "shared_state/failure_print.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string hex(const std::array<unsigned char, 4>& bytes) {
    std::string text;
    for (unsigned char b : bytes) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", b);
        text += pair;
    }
    return text;
}

}  // namespace

// Prints already stored (the table files, Redis's fields) must read the same
// after any change here: these were taken from the table's and the shared
// state's own code before they came to share this function.
TEST(FailurePrint, KeepsThePrintsAlreadyStored) {
    unsigned char table_key[16], redis_key[32];
    for (unsigned i = 0; i < sizeof table_key; ++i) table_key[i] = static_cast<unsigned char>(i);
    for (unsigned i = 0; i < sizeof redis_key; ++i)
        redis_key[i] = static_cast<unsigned char>(0x40 + i);
    struct row {
        bool table;  // the table's key and 16-byte hash, else Redis's and 4 bytes
        const char* user;
        const char* password;
        const char* print;
    };
    const row rows[] = {
        {true, "", "", "bd6794e0"},
        {true, "alice", "hunter2", "896cd325"},
        {true, "ab", "c", "ff67a565"},
        {true, "a", "bc", "6e9bc98c"},
        {true, "jörg@example.org", "pässword", "1d2da22b"},
        {false, "", "", "f1748c09"},
        {false, "alice", "hunter2", "01014b07"},
        {false, "ab", "c", "e9d35daa"},
        {false, "a", "bc", "c4f37293"},
        {false, "jörg@example.org", "pässword", "a2ed6a4f"},
    };
    for (const row& r : rows) {
        const std::array<unsigned char, 4> print =
            r.table ? failure_print(table_key, sizeof table_key, 16, r.user, r.password)
                    : failure_print(redis_key, sizeof redis_key, 4, r.user, r.password);
        EXPECT_EQ(hex(print), r.print) << r.table << " " << r.user << " " << r.password;
    }
}
