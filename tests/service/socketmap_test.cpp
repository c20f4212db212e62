// Postfix's socketmap as the service reads it: netstrings cut from a byte
// stream (whole, incomplete, broken), requests split into map name and key,
// and the forward address read from a record's options.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "module/record_options.h"
#include "service/socketmap.h"

namespace {

using namespace std::string_literals;

TEST(Socketmap, Netstrings) {
    struct row {
        std::string input;
        netstring_status status;
        std::string payload;
        std::size_t used;
    };
    const std::vector<row> rows = {
        {"23:mailbox bob@example.org,", netstring_status::complete, "mailbox bob@example.org", 27},
        {"0:,", netstring_status::complete, "", 3},
        {"3:a b,5:", netstring_status::complete, "a b", 6},
        {"3:a\0b,"s, netstring_status::complete, "a\0b"s, 6},
        {"", netstring_status::incomplete, "", 0},
        {"12", netstring_status::incomplete, "", 0},
        {"3:ab", netstring_status::incomplete, "", 0},
        {"3:abc", netstring_status::incomplete, "", 0},
        {"3:abcd", netstring_status::broken, "", 0},
        {":abc,", netstring_status::broken, "", 0},
        {"03:abc,", netstring_status::broken, "", 0},
        {"-3:abc,", netstring_status::broken, "", 0},
        {" 3:abc,", netstring_status::broken, "", 0},
        // Longer than the limit (100 here), known from the digits alone.
        {"101:", netstring_status::broken, "", 0},
        {"9999999999999999999999", netstring_status::broken, "", 0},
        {"100:" + std::string(100, 'x') + ",", netstring_status::complete, std::string(100, 'x'),
         105},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.input);
        netstring_take take = take_netstring(r.input, 100);
        EXPECT_EQ(take.status, r.status);
        if (r.status != netstring_status::complete) continue;
        EXPECT_EQ(std::string(take.payload), r.payload);
        EXPECT_EQ(take.used, r.used);
    }
    EXPECT_EQ(netstring("OK /var/mail/bob"), "16:OK /var/mail/bob,");
    EXPECT_EQ(netstring("NOTFOUND "), "9:NOTFOUND ,");
}

TEST(Socketmap, Requests) {
    struct row {
        std::string payload;
        bool parsed;
        std::string name, key;
    };
    const std::vector<row> rows = {
        {"mailbox bob@example.org", true, "mailbox", "bob@example.org"},
        {"login a b", true, "login", "a b"},
        {"mailbox ", true, "mailbox", ""},
        {"mailbox", false, "", ""},
        {" bob", false, "", ""},
        {"", false, "", ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.payload);
        std::optional<socketmap_request> request = parse_socketmap_request(r.payload);
        ASSERT_EQ(request.has_value(), r.parsed);
        if (!request) continue;
        EXPECT_EQ(request->name, r.name);
        EXPECT_EQ(request->key, r.key);
    }
}

TEST(Socketmap, RecordOptions) {
    const std::string options = "fwd=\"bob@elsewhere.example\" quota=\"100\"";
    EXPECT_EQ(record_option(options, "fwd"), "bob@elsewhere.example"s);
    EXPECT_EQ(record_option(options, "quota"), "100"s);
    EXPECT_EQ(record_option("quota=\"100\"", "fwd"), std::nullopt);
    EXPECT_EQ(record_option("xfwd=\"a\"", "fwd"), std::nullopt);
    EXPECT_EQ(record_option("fwd=\"unclosed", "fwd"), std::nullopt);
}

}  // namespace
