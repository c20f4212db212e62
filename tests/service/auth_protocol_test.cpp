// Dovecot's authentication protocol as the service speaks it: conversations
// of client lines, each with the lines it is answered with, the check it
// hands on and whether it ends the connection; then the answers to checks
// for clients of protocol 1.0 and 1.2. The base64 texts are those swaks and
// Postfix send (printf 'authzid\0user\0pass' | base64).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/auth_protocol.h"

namespace {

struct exchange {
    std::string line;
    std::string reply;
    std::string checked;  // "user/password/address" of the check handed on, or ""
    bool close = false;
};

std::string shown(const std::optional<auth_check>& check) {
    if (!check) return "";
    return check->user + "/" + check->password + "/" + check->address.value_or("-");
}

const std::string hello = "VERSION\t1\t0";

TEST(AuthProtocol, Handshake) {
    EXPECT_EQ(auth_conversation::handshake(42, 7, "0123456789abcdef0123456789abcdef"),
              "VERSION\t1\t2\nMECH\tPLAIN\tplaintext\nMECH\tLOGIN\tplaintext\nSPID\t42\nCUID\t7\n"
              "COOKIE\t0123456789abcdef0123456789abcdef\nDONE\n");
}

TEST(AuthProtocol, Conversations) {
    const std::vector<std::vector<exchange>> conversations = {
        // Postfix: PLAIN with its initial response, rip, secured.
        {{hello, "", ""},
         {"CPID\t1234", "", ""},
         {"AUTH\t1\tPLAIN\tservice=smtp\tnologin\tlip=127.0.0.1\trip=10.1.2.3\tsecured\tresp="
          "AGFsaWNlAHdvbmRlcmxhbmQ=",
          "", "alice/wonderland/10.1.2.3"}},
        // The authorization identity may be the user, but no one else.
        {{hello, "", ""},
         {"AUTH\t1\tPLAIN\tservice=smtp\tresp=YWxpY2UAYWxpY2UAd29uZGVybGFuZA==", "",
          "alice/wonderland/-"},
         {"AUTH\t2\tPLAIN\tservice=smtp\tresp=Ym9iAGFsaWNlAHdvbmRlcmxhbmQ=",
          "FAIL\t2\tuser=alice\n", ""}},
        // PLAIN without an initial response (Exim sends resp= empty).
        {{hello, "", ""},
         {"AUTH\t5\tPLAIN\tservice=smtp\trip=::1\tresp=", "CONT\t5\t\n", ""},
         {"CONT\t5\tAGFsaWNlAHdvbmRlcmxhbmQ=", "", "alice/wonderland/::1"}},
        // LOGIN's two steps; its initial response is the user name.
        {{hello, "", ""},
         {"AUTH\t3\tLOGIN\tservice=smtp", "CONT\t3\tVXNlcm5hbWU6\n", ""},
         {"CONT\t3\tYWxpY2U=", "CONT\t3\tUGFzc3dvcmQ6\n", ""},
         {"CONT\t3\td29uZGVybGFuZA==", "", "alice/wonderland/-"},
         {"AUTH\t4\tlogin\tservice=smtp\tresp=Ym9i", "CONT\t4\tUGFzc3dvcmQ6\n", ""},
         {"CONT\t4\tYnVpbGRlcg==", "", "bob/builder/-"}},
        // What the SMTP client typed wrongly fails its request alone.
        {{hello, "", ""},
         {"AUTH\t1\tPLAIN\tservice=smtp\tresp=%%%",
          "FAIL\t1\treason=Invalid base64 data in initial response\n", ""},
         {"AUTH\t2\tPLAIN\tservice=smtp\tresp=YWxpY2U=", "FAIL\t2\treason=Invalid PLAIN data\n",
          ""},
         // No password, an empty user, a user with a control character.
         {"AUTH\t3\tPLAIN\tservice=smtp\tresp=AGFsaWNlAA==", "FAIL\t3\tuser=alice\n", ""},
         {"AUTH\t4\tPLAIN\tservice=smtp\tresp=AAB4", "FAIL\t4\n", ""},
         {"AUTH\t6\tPLAIN\tservice=smtp\tresp=AGEJYgB4", "FAIL\t6\n", ""},
         {"AUTH\t7\tLOGIN\tservice=smtp", "CONT\t7\tVXNlcm5hbWU6\n", ""},
         {"CONT\t7\t!!", "FAIL\t7\treason=Invalid base64 data in continued response\n", ""},
         // A LOGIN name with a TAB never reaches the reply as a field.
         {"AUTH\t10\tLOGIN\tservice=smtp", "CONT\t10\tVXNlcm5hbWU6\n", ""},
         {"CONT\t10\tYQl1c2VyPXJvb3Q=", "CONT\t10\tUGFzc3dvcmQ6\n", ""},
         {"CONT\t10\t!!", "FAIL\t10\treason=Invalid base64 data in continued response\n", ""},
         {"CONT\t9\tYQ==", "FAIL\t9\treason=Authentication request timed out\n", ""},
         // Parameters after resp= are not read.
         {"AUTH\t8\tPLAIN\tservice=smtp\tresp=AGFsaWNlAHg=\trip=1.2.3.4", "", "alice/x/-"},
         {"CONT\t8\tYQ==", "FAIL\t8\treason=Unexpected continuation\n", ""},
         {"CANCEL\t8", "", ""}},
        // Breaking the protocol ends the connection.
        {{"AUTH\t1\tPLAIN\tservice=smtp", "", "", true}},
        {{"VERSION\t2\t0", "", "", true}},
        {{hello, "", ""}, {"HELLO", "", "", true}},
        {{hello, "", ""}, {"AUTH\tx\tPLAIN\tservice=smtp", "", "", true}},
        {{hello, "", ""}, {"AUTH\t1", "", "", true}},
        {{hello, "", ""},
         {"AUTH\t1\tCRAM-MD5\tservice=smtp",
          "FAIL\t1\treason=Unsupported authentication mechanism\n", "", true}},
        {{hello, "", ""}, {"AUTH\t1\tPLAIN", "FAIL\t1\treason=No service given\n", "", true}},
        {{hello, "", ""},
         {"AUTH\t1\tLOGIN\tservice=smtp", "CONT\t1\tVXNlcm5hbWU6\n", ""},
         {"AUTH\t1\tLOGIN\tservice=smtp", "", "", true}},
        {{hello, "", ""}, {"CONT\t1", "", "", true}},
        {{hello, "", ""}, {"AUTH\t4294967296\tPLAIN\tservice=smtp", "", "", true}},
    };
    for (const std::vector<exchange>& conversation : conversations) {
        auth_conversation talk;
        for (const exchange& e : conversation) {
            SCOPED_TRACE(e.line);
            auth_step step = talk.take_line(e.line);
            EXPECT_EQ(step.reply, e.reply);
            EXPECT_EQ(shown(step.check), e.checked);
            EXPECT_EQ(step.close, e.close);
        }
    }
}

// max_pending 2: requests waiting for the client's next step are counted,
// those handed to a check are not; one more fails and ends the connection.
TEST(AuthProtocol, WaitingCap) {
    const std::string plain_waits = "AUTH\t1\tPLAIN\tservice=smtp";
    const std::string login_waits = "AUTH\t2\tLOGIN\tservice=smtp";
    const std::string cap = "\treason=Too many requests in progress\n";
    const std::vector<std::vector<exchange>> conversations = {
        {{plain_waits, "CONT\t1\t\n", ""},
         {login_waits, "CONT\t2\tVXNlcm5hbWU6\n", ""},
         {"AUTH\t3\tPLAIN\tservice=smtp", "FAIL\t3" + cap, "", true}},
        // LOGIN's name as its initial response: waiting for the password.
        {{plain_waits, "CONT\t1\t\n", ""},
         {login_waits, "CONT\t2\tVXNlcm5hbWU6\n", ""},
         {"AUTH\t3\tLOGIN\tservice=smtp\tresp=Ym9i", "FAIL\t3" + cap, "", true}},
        // A request with all it needs waits for no one; nor does one
        // cancelled or completed.
        {{plain_waits, "CONT\t1\t\n", ""},
         {login_waits, "CONT\t2\tVXNlcm5hbWU6\n", ""},
         {"AUTH\t3\tPLAIN\tservice=smtp\tresp=AGFsaWNlAHg=", "", "alice/x/-"},
         {"CANCEL\t1", "", ""},
         {"AUTH\t4\tPLAIN\tservice=smtp", "CONT\t4\t\n", ""},
         {"CONT\t4\tAGJvYgB5", "", "bob/y/-"},
         {"AUTH\t5\tLOGIN\tservice=smtp", "CONT\t5\tVXNlcm5hbWU6\n", ""},
         {"CONT\t5\tYm9i", "CONT\t5\tUGFzc3dvcmQ6\n", ""}},
    };
    for (const std::vector<exchange>& conversation : conversations) {
        auth_conversation talk(2);
        talk.take_line(hello);
        for (const exchange& e : conversation) {
            SCOPED_TRACE(e.line);
            auth_step step = talk.take_line(e.line);
            EXPECT_EQ(step.reply, e.reply);
            EXPECT_EQ(shown(step.check), e.checked);
            EXPECT_EQ(step.close, e.close);
        }
    }
}

// The answers to a check: OK with the name the table holds, FAIL with the
// name as given; a temporary failure as FAIL temp to those who read it,
// and as a connection closed before the answer to clients of protocol 1.0.
TEST(AuthProtocol, Answers) {
    struct row {
        std::string version;
        check_verdict verdict;
        std::string found;
        std::string line;
        bool close;
    };
    const std::vector<row> rows = {
        {"VERSION\t1\t0", check_verdict::found, "alice@example.org",
         "OK\t1\tuser=alice@example.org\n", false},
        {"VERSION\t1\t0", check_verdict::refused, "", "FAIL\t1\tuser=alice\n", false},
        {"VERSION\t1\t0", check_verdict::unavailable, "", "", true},
        {"VERSION\t1\t2", check_verdict::unavailable, "",
         "FAIL\t1\tuser=alice\tcode=temp_fail\ttemp\n", false},
        // A stored name no line can carry is no login.
        {"VERSION\t1\t2", check_verdict::found, "ali\nce", "FAIL\t1\tuser=alice\n", false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.line);
        auth_conversation talk;
        talk.take_line(r.version);
        auth_step step = talk.take_line("AUTH\t1\tPLAIN\tservice=smtp\tresp=AGFsaWNlAHg=");
        ASSERT_TRUE(step.check);
        EXPECT_EQ(talk.outstanding(), 1u);
        bool close = false;
        EXPECT_EQ(talk.answer(*step.check, r.verdict, r.found, close), r.line);
        EXPECT_EQ(close, r.close);
        EXPECT_EQ(talk.outstanding(), 0u);
        // Answered once only.
        EXPECT_EQ(talk.answer(*step.check, r.verdict, r.found, close), "");
    }
}

// An answer to a request cancelled and begun again under the same ID is
// not the new request's.
TEST(AuthProtocol, CancelledRequestKeepsNoAnswer) {
    auth_conversation talk;
    talk.take_line("VERSION\t1\t2");
    auth_step first = talk.take_line("AUTH\t1\tPLAIN\tservice=smtp\tresp=AGFsaWNlAHg=");
    talk.take_line("CANCEL\t1");
    auth_step second = talk.take_line("AUTH\t1\tPLAIN\tservice=smtp\tresp=AGJvYgB5");
    ASSERT_TRUE(first.check && second.check);
    bool close = false;
    EXPECT_EQ(talk.answer(*first.check, check_verdict::found, "alice", close), "");
    EXPECT_EQ(talk.answer(*second.check, check_verdict::found, "bob", close), "OK\t1\tuser=bob\n");
}

TEST(AuthProtocol, TabUnescape) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"10.0.0.1", "10.0.0.1"},      {"a\001tb", "a\tb"},
        {"a\0011b", "a\001b"},         {"a\0010b", std::string("a\0b", 3)},
        {"\001r\001n\001l", "\r\n\n"}, {"\001x", "x"},
        {"end\001", "end\001"},
    };
    for (const auto& [escaped, plain] : rows) EXPECT_EQ(tab_unescape(escaped), plain) << escaped;
}

}  // namespace
