// The service's saslauthd socket with Cyrus SASL's own client: Debian's
// testsaslauthd (sasl2-bin) for right and wrong passwords, unknown users,
// a realm and a password with blanks; raw requests for what testsaslauthd
// does not show (the reason of a refusal, a broken request, the database
// stopped). Postfix with Cyrus SASL is in postfix_test.cpp.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "peer_harness.h"
#include "service_harness.h"

namespace {

using namespace std::string_literals;
using qmdir::world;
using qmsvc::service;

const char* const testsaslauthd_binary = "/usr/sbin/testsaslauthd";

std::string counted(const std::string& text) {
    return std::string(1, static_cast<char>(text.size() >> 8)) +
           static_cast<char>(text.size() & 0xff) + text;
}

std::string mux_path(world& w) { return w.env().dir() + "/mux"; }

// A service with the saslauthd socket beside the other two.
std::string with_mux(world& w, const std::string& extra = "") {
    return "workers 2\nlisten_saslauthd " + mux_path(w) + "\n" + extra;
}

// One raw request, and the answer's text; "(closed)" when the service
// closed without one.
std::string ask(const std::string& socket, const std::string& bytes) {
    qmsvc::connection c(socket);
    if (!c.write(bytes)) return "(no connection)";
    const std::string& got = c.read_until([](const std::string& b) {
        return b.size() >= 2 && b.size() >= 2u + (static_cast<unsigned char>(b[0]) << 8 |
                                                  static_cast<unsigned char>(b[1]));
    });
    if (got.size() < 2) return "(closed)";
    std::string answer = got.substr(2);
    // The service closes once it has answered.
    if (!c.closed()) return answer + " (left open)";
    return answer;
}

std::string request(const std::string& login, const std::string& password,
                    const std::string& realm = "") {
    return counted(login) + counted(password) + counted("smtp") + counted(realm);
}

class Saslauthd : public ::testing::Test {
protected:
    void SetUp() override {
        std::string missing;
        if (!qmpeer::programs_here({testsaslauthd_binary}, missing)) GTEST_SKIP() << missing;
    }
};

// testsaslauthd, one connection per try as libsasl2 makes them.
TEST_F(Saslauthd, Testsaslauthd) {
    world w;
    qmsvc::fill_table(w);
    w.exec(
        "INSERT INTO maildb VALUES ('dave@other.example', 'two words here', NULL, 'dave/', "
        "NULL);");
    service s(w, with_mux(w, "log_auth_failures true\n"));
    ASSERT_TRUE(s.ready()) << s.log();
    ASSERT_TRUE(qmpeer::wait_until([&] { return service::connectable(mux_path(w)); }));
    struct row {
        std::string user, password, realm;
        bool ok;
    };
    const std::vector<row> rows = {
        {"alice", "wonderland", "", true},
        {"alice@example.org", "wonderland", "", true},
        {"alice", "wrong", "", false},
        {"nobody", "wonderland", "", false},
        // The realm is the domain of a login without one.
        {"dave", "two words here", "other.example", true},
        {"dave", "two words here", "", false},
        {"alice", "wonderland", "other.example", false},
        {"alice@example.org", "wonderland", "other.example", true},
        {"dave", "two words", "other.example", false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.user + " / " + r.password + " / " + r.realm);
        qmtest::child_options o;
        o.args = {"-u", r.user, "-p", r.password, "-s", "smtp", "-f", mux_path(w)};
        if (!r.realm.empty()) o.args.insert(o.args.end(), {"-r", r.realm});
        const qmtest::child_result result = qmtest::run_child(testsaslauthd_binary, "", o);
        EXPECT_EQ(result.out, r.ok ? "0: OK \"Success.\"\n" : "0: NO \"authentication failed\"\n")
            << result.err;
        EXPECT_EQ(result.exit_code == 0, r.ok);
    }
    // Three tries, three connections, each answered and closed.
    qmtest::child_options o;
    o.args = {"-u", "bob", "-p", "builder", "-R", "3", "-f", mux_path(w)};
    EXPECT_EQ(qmtest::run_child(testsaslauthd_binary, "", o).out,
              "0: OK \"Success.\"\n1: OK \"Success.\"\n2: OK \"Success.\"\n");
    // saslauthd has no client address: the failure lines say so.
    EXPECT_NE(s.log().find("rip=- reason="), std::string::npos) << s.log();
    EXPECT_EQ(s.log().find("reason=database-error"), std::string::npos) << s.log();
}

// What testsaslauthd does not show: a wrong password and an unknown user
// get the same words; what is refused without a query; broken requests
// are closed without an answer, and a client beside them is served.
TEST_F(Saslauthd, RawRequests) {
    world w;
    qmsvc::fill_table(w);
    service s(w, with_mux(w, "max_line 256\n"));
    ASSERT_TRUE(s.ready()) << s.log();
    const std::string mux = mux_path(w);
    ASSERT_TRUE(qmpeer::wait_until([&] { return service::connectable(mux); }));
    struct row {
        std::string bytes, answer;
    };
    const std::vector<row> rows = {
        {request("alice", "wonderland"), "OK"},
        {request("alice", "wonderland", "example.org"), "OK"},
        {request("alice", "wrong"), "NO authentication failed"},
        {request("nobody", "wonderland"), "NO authentication failed"},
        {request("alice", ""), "NO authentication failed"},
        {request("alice", "wonderland") + "x", "(closed)"},
        {request("alice", std::string(300, 'p')), "(closed)"},
        {"\xff\xff"s, "(closed)"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.bytes.substr(0, 40)));
        EXPECT_EQ(ask(mux, r.bytes), r.answer);
    }
    // A request in pieces, with a client answered between them.
    qmsvc::connection slow(mux);
    const std::string bytes = request("bob", "builder");
    ASSERT_TRUE(slow.write(bytes.substr(0, 5)));
    EXPECT_EQ(ask(mux, request("alice", "wonderland")), "OK");
    ASSERT_TRUE(slow.write(bytes.substr(5)));
    EXPECT_EQ(slow.read_until([](const std::string& b) { return b.size() >= 4; }), "\0\x02OK"s);
    EXPECT_TRUE(slow.closed());
}

// The database stopped: a "NO" that says so, logged as a database error,
// never as a wrong password.
TEST_F(Saslauthd, DatabaseStopped) {
    QM_OWN_PG_SERVERS(servers);
    world w(qmtest::db_kind::postgres, servers.env_file());
    qmsvc::fill_table(w);
    service s(w, with_mux(w, "log_auth_failures true\n"));
    ASSERT_TRUE(s.ready()) << s.log();
    const std::string mux = mux_path(w);
    ASSERT_TRUE(qmpeer::wait_until([&] { return service::connectable(mux); }));
    ASSERT_EQ(ask(mux, request("alice", "wonderland")), "OK");
    ASSERT_TRUE(servers.halt());

    for (const char* user : {"alice", "bob"}) {
        SCOPED_TRACE(user);
        EXPECT_EQ(ask(mux, request(user, "wonderland")),
                  "NO temporary failure: the user database cannot answer");
    }
    qmtest::child_options o;
    o.args = {"-u", "alice", "-p", "wonderland", "-f", mux};
    EXPECT_NE(qmtest::run_child(testsaslauthd_binary, "", o).exit_code, 0);
    const std::string log = s.log();
    EXPECT_NE(log.find("rip=- reason=database-error user=alice"), std::string::npos) << log;
    EXPECT_EQ(log.find("reason=wrong"), std::string::npos) << log;
}

}  // namespace
