// The request parsers of squid's helper protocol and of checkpassword, the
// answers they lead to over a back end of the test's own, and the
// environment a checkpassword login hands on.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/globals.h"
#include "module/auth_module.h"
#include "protocols/checkpassword.h"
#include "protocols/squid.h"

namespace {

using namespace std::string_literals;

TEST(SquidRequest, Unescaping) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"plain", "plain"},
        {"jo%20e", "jo e"},
        {"100%25", "100%"},
        {"%%", "%"},
        {"a%3ab%3Ac", "a:b:c"},
        {"sm%C3%ADth", "sm\xc3\xadth"},
        {"a+b", "a+b"},
        // What squid itself leaves: %00, a '%' without two hex digits.
        {"x%00y", "x%00y"},
        {"%4", "%4"},
        {"%zz%", "%zz%"},
        {"%%41", "%41"},
        {"", ""},
    };
    for (const auto& [escaped, plain] : rows) EXPECT_EQ(squid_unescape(escaped), plain) << escaped;
}

TEST(SquidRequest, Fields) {
    struct row {
        std::string line;
        bool well_formed;
        std::optional<std::string> channel;
        std::string user, password;
        std::optional<std::string> address;
    };
    const std::vector<row> rows = {
        {"alice secret", true, std::nullopt, "alice", "secret", std::nullopt},
        {"0 alice secret", true, "0"s, "alice", "secret", std::nullopt},
        {"7 jo%20e p%3Aw 10.0.0.1", true, "7"s, "jo e", "p:w", "10.0.0.1"s},
        {"alice secret 10.0.0.1", true, std::nullopt, "alice", "secret", "10.0.0.1"s},
        {"3 alice secret -", true, "3"s, "alice", "secret", std::nullopt},
        {"3 alice secret\r", true, "3"s, "alice", "secret", std::nullopt},
        // Single blanks separate fields: an empty password stays one.
        {"3 alice ", true, "3"s, "alice", "", std::nullopt},
        {"12 34", true, std::nullopt, "12", "34", std::nullopt},
        {"", false, std::nullopt, "", "", std::nullopt},
        {"alice", false, std::nullopt, "", "", std::nullopt},
        {"5", false, "5"s, "", "", std::nullopt},
        {"5 alice\0 pw"s, false, "5"s, "", "", std::nullopt},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.line);
        squid_request request = parse_squid_request(r.line);
        EXPECT_EQ(request.well_formed, r.well_formed);
        EXPECT_EQ(request.channel, r.channel);
        EXPECT_EQ(request.user, r.user);
        EXPECT_EQ(request.password, r.password);
        EXPECT_EQ(request.address, r.address);
    }
}

// A back end of the test's own: alice/secret from 10.x only, "down" stands
// for a database that cannot answer.
struct script {
    auth_result record;
    command_words seen;
    bool down = false;
} back;

auth_result* scripted_check(command_words& words) {
    back.seen = words;
    if (back.down) return nullptr;
    if (words[1] != "alice" || words[2] != "secret") return nullptr;
    if (words[3] && words[3]->rfind("10.", 0) != 0) return nullptr;
    back.record.user = "alice@example.org";
    return &back.record;
}
int scripted_unavailable() { return back.down ? 1 : 0; }

TEST(SquidRequest, Answers) {
    auth_module_table table{};
    table.check = scripted_check;
    table.unavailable = scripted_unavailable;
    log_path = "/dev/null";
    struct row {
        std::string line;
        bool down;
        std::string answer;
    };
    const std::vector<row> rows = {
        {"alice secret", false, "OK\n"},
        {"4 alice secret", false, "4 OK\n"},
        {"4 alice wrong", false, "4 ERR\n"},
        {"4 alice secret 10.1.2.3", false, "4 OK\n"},
        {"4 alice secret 192.168.1.1", false, "4 ERR\n"},
        {"4 alice ", false, "4 ERR\n"},
        {"4 alice secret", true, "4 BH message=\"the user database cannot answer\"\n"},
        {"4 alice wrong", true, "4 BH message=\"the user database cannot answer\"\n"},
        {"4", false, "4 BH message=\"malformed request\"\n"},
        {"garbage", false, "BH message=\"malformed request\"\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.line);
        back.down = r.down;
        EXPECT_EQ(squid_answer(table, r.line), r.answer);
        EXPECT_FALSE(back.record.user) << "the record is emptied after use";
    }
    log_path.reset();
}

TEST(CheckpasswordInput, Descriptor3) {
    struct row {
        std::string data;
        bool read;
        std::string user, password;
    };
    const std::vector<row> rows = {
        {"alice\0secret\0"s, true, "alice", "secret"},
        {"alice\0secret\0"
         "1234\0"s,
         true, "alice", "secret"},
        {"alice\0secret\0"
         "1234\0more"s,
         true, "alice", "secret"},
        // Dovecot's userdb-only call.
        {"alice\0\0\0"s, true, "alice", ""},
        {"\0\0"s, true, "", ""},
        {"pa ss\0w\xc3\xa9 rd\0"s, true, "pa ss", "w\xc3\xa9 rd"},
        {"alice\0secret"s, false, "", ""},
        {"alice"s, false, "", ""},
        {""s, false, "", ""},
        {"u\0"s + std::string(509, 'p') + "\0"s, true, "u", std::string(509, 'p')},
        {"u\0"s + std::string(510, 'p') + "\0"s, false, "", ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.data.size());
        std::optional<checkpassword_input> input = parse_checkpassword_input(r.data);
        ASSERT_EQ(input.has_value(), r.read);
        if (!input) continue;
        EXPECT_EQ(input->user, r.user);
        EXPECT_EQ(input->password, r.password);
    }
}

// The "+OK" line's record mapped onto what Dovecot's checkpassword-reply
// hands back as fields.
TEST(CheckpasswordInput, Environment) {
    struct row {
        const char* name;
        auth_result record;
        long uid;
        std::optional<environment_list> variables;
    };
    const std::vector<row> rows = {
        {"user alone", {"bob"s, {}, {}, {}, {}}, 0, environment_list{{"USER", "bob"}}},
        {"every field",
         {"alice@example.org"s, "pw"s, {}, "/var/mail/alice/"s, "fwd=\"x@y\" quota=\"500M\""s},
         5000,
         environment_list{{"USER", "alice@example.org"},
                          {"userdb_mail", "maildir:/var/mail/alice/"},
                          {"userdb_uid", "5000"},
                          {"userdb_quota_rule", "*:storage=500M"},
                          {"EXTRA", "userdb_mail userdb_uid userdb_quota_rule"}}},
        {"a drop that names its format, the forward alone",
         {"bob"s, {}, {}, "mdbox:/srv/bob"s, "fwd=\"quota=1\""s},
         0,
         environment_list{
             {"USER", "bob"}, {"userdb_mail", "mdbox:/srv/bob"}, {"EXTRA", "userdb_mail"}}},
        {"a path without a format",
         {"bob"s, {}, {}, "/var/mail/bob"s, {}},
         8,
         environment_list{{"USER", "bob"},
                          {"userdb_mail", "maildir:/var/mail/bob"},
                          {"userdb_uid", "8"},
                          {"EXTRA", "userdb_mail userdb_uid"}}},
        {"a TAB in the quota", {"bob"s, {}, {}, {}, "quota=\"1\tuserdb_uid=0\""s}, 0, std::nullopt},
        {"no user", {{}, {}, {}, {}, {}}, 0, std::nullopt},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(checkpassword_environment(r.record, r.uid), r.variables);
    }
}

}  // namespace
