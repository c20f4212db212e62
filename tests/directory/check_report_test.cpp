// The failure line a refused check writes: the address first, the reason,
// and a user name that no byte of can forge a field.
#include <gtest/gtest.h>

#include "directory/check_report.h"

namespace {

TEST(FailureLine, UserNamesCannotForgeAField) {
    struct row {
        const char* name;
        const char* written;
    };
    const row rows[] = {
        {"alice@example.org", "alice@example.org"},
        {"first.last+tag_x-y@example.org", "first.last+tag_x-y@example.org"},
        {"x rip=10.9.9.9", "x\\x20rip\\x3d10.9.9.9"},
        {"x 10.9.9.9", "x\\x2010.9.9.9"},
        {"a\tb\r\nc\x7f", "a\\x09b\\x0d\\x0ac\\x7f"},
        {"back\\x20slash", "back\\x5cx20slash"},
        {"a,b;c:d\"e'f<g>(h)[i]|j",
         "a\\x2cb\\x3bc\\x3ad\\x22e\\x27f\\x3cg\\x3e\\x28h\\x29\\x5bi\\x5d\\x7cj"},
        {"\xc3\x9cn\xc3\xaf", "\\xc3\\x9cn\\xc3\\xaf"},
        {"", ""},
    };
    for (const row& r : rows) EXPECT_EQ(log_safe_name(r.name), r.written) << r.name;
}

TEST(FailureLine, AddressReasonAndName) {
    struct row {
        const char* address;  // null: no third word
        check_outcome outcome;
        const char* user;
        const char* line;
    };
    const row rows[] = {
        {"192.0.2.7", check_outcome::wrong_password, "bob",
         "Check refused: rip=192.0.2.7 reason=wrong-password user=bob"},
        {"::ffff:192.0.2.7", check_outcome::unknown_user, "x rip=10.9.9.9",
         "Check refused: rip=192.0.2.7 reason=unknown-user user=x\\x20rip\\x3d10.9.9.9"},
        {"2001:DB8::0:1", check_outcome::mask, "ann",
         "Check refused: rip=2001:db8::1 reason=mask user=ann"},
        {nullptr, check_outcome::wrong_user_or_password, "bob",
         "Check refused: rip=- reason=wrong-user-or-password user=bob"},
        {"10.0.0.1", check_outcome::throttled, "bob",
         "Check refused: rip=10.0.0.1 reason=throttled user=bob"},
        {"10.0.0.1", check_outcome::refused_value, "bob",
         "Check refused: rip=10.0.0.1 reason=refused-value user=bob"},
        {"10.0.0.1", check_outcome::database_error, "bob",
         "Check refused: rip=10.0.0.1 reason=database-error user=bob"},
    };
    for (const row& r : rows) {
        const command_words words = {
            std::string("check"), std::string(r.user), std::string("pw"),
            r.address ? std::optional<std::string>(r.address) : std::nullopt};
        EXPECT_EQ(failure_line(r.outcome, check_client(words), r.user), r.line);
    }
    // A third word that is no address is written as none.
    const command_words odd = {std::string("check"), std::string("bob"), std::string("pw"),
                               std::string("10.0.0.1 rip=10.9.9.9")};
    EXPECT_FALSE(check_client(odd));
}

}  // namespace
