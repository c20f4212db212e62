// saslauthd's protocol as the service reads it: requests of four counted
// strings cut from a connection's bytes (whole, incomplete, broken), the
// name the realm makes, what is refused without a query, and the counted
// answers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/saslauthd.h"

namespace {

using namespace std::string_literals;

std::string request_bytes(const std::vector<std::string>& fields) {
    std::string bytes;
    for (const std::string& field : fields) bytes += counted_string(field);
    return bytes;
}

TEST(Saslauthd, Requests) {
    struct row {
        std::string input;
        saslauthd_status status;
        std::vector<std::string> fields;  // complete: login, password, service, realm
    };
    const std::string alice = request_bytes({"alice", "wonder land", "smtp", "example.org"});
    const std::vector<row> rows = {
        {alice, saslauthd_status::complete, {"alice", "wonder land", "smtp", "example.org"}},
        {request_bytes({"", "", "", ""}), saslauthd_status::complete, {"", "", "", ""}},
        {request_bytes({"a", "p\0w"s, "", ""}), saslauthd_status::complete, {"a", "p\0w"s, "", ""}},
        // Each string at most the limit (100 here) together with the others.
        {request_bytes({std::string(40, 'u'), std::string(60, 'p'), "", ""}),
         saslauthd_status::complete,
         {std::string(40, 'u'), std::string(60, 'p'), "", ""}},
        {"", saslauthd_status::incomplete, {}},
        {"\0"s, saslauthd_status::incomplete, {}},
        {alice.substr(0, 7), saslauthd_status::incomplete, {}},
        {alice.substr(0, alice.size() - 1), saslauthd_status::incomplete, {}},
        {request_bytes({"a", "b", "c"}), saslauthd_status::incomplete, {}},
        // Known from the length alone, before its bytes come.
        {"\0\x65"s, saslauthd_status::broken, {}},
        {"\xff\xff"s, saslauthd_status::broken, {}},
        {request_bytes({std::string(40, 'u'), std::string(60, 'p'), "s", ""}),
         saslauthd_status::broken,
         {}},
        {request_bytes({"a", "b", "c", std::string(98, 'r')}), saslauthd_status::broken, {}},
        // One request a connection: nothing may follow it.
        {alice + "\0"s, saslauthd_status::broken, {}},
        {alice + alice, saslauthd_status::broken, {}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.input));
        saslauthd_take take = take_saslauthd_request(r.input, 100);
        EXPECT_EQ(take.status, r.status);
        if (r.status != saslauthd_status::complete) continue;
        EXPECT_EQ(take.request.login, r.fields[0]);
        EXPECT_EQ(take.request.password, r.fields[1]);
        EXPECT_EQ(take.request.service, r.fields[2]);
        EXPECT_EQ(take.request.realm, r.fields[3]);
    }
}

TEST(Saslauthd, NamesAndRefusals) {
    struct row {
        std::string login, password, realm;
        std::string user;
        bool checkable;
    };
    const std::vector<row> rows = {
        {"alice", "wonderland", "", "alice", true},
        {"alice", "wonderland", "example.org", "alice@example.org", true},
        // A login with a domain keeps it, whatever the realm.
        {"alice@example.org", "w", "other.example", "alice@example.org", true},
        {"alice@", "w", "example.org", "alice@", true},
        {"alice", "with blanks and \xc3\xa9", "", "alice", true},
        {"", "wonderland", "", "", false},
        {"", "wonderland", "example.org", "@example.org", false},
        {"alice", "", "example.org", "alice@example.org", false},
        {"alice", "a\0b"s, "", "alice", false},
        {"al\tice", "wonderland", "", "al\tice", false},
        {"alice", "wonderland", "exa\nmple.org", "alice@exa\nmple.org", false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.login + "|" + r.realm));
        saslauthd_request request;
        request.login = r.login;
        request.password = r.password;
        request.realm = r.realm;
        EXPECT_EQ(saslauthd_user(request), r.user);
        EXPECT_EQ(saslauthd_checkable(request), r.checkable);
    }
}

TEST(Saslauthd, Answers) {
    EXPECT_EQ(saslauthd_answer(check_verdict::found), "\0\x02OK"s);
    EXPECT_EQ(saslauthd_answer(check_verdict::refused), "\0\x18NO authentication failed"s);
    const std::string unavailable = saslauthd_answer(check_verdict::unavailable);
    EXPECT_EQ(unavailable.substr(2, 3), "NO ");
    EXPECT_NE(unavailable.find("database cannot answer"), std::string::npos);
    EXPECT_EQ(unavailable.size(), 2u + (static_cast<unsigned char>(unavailable[0]) << 8 |
                                        static_cast<unsigned char>(unavailable[1])));
    EXPECT_EQ(counted_string(std::string(300, 'x')).substr(0, 2), "\x01\x2c"s);
    EXPECT_EQ(counted_string(std::string(70000, 'x')).size(), 2u + 65535u);
}

}  // namespace
