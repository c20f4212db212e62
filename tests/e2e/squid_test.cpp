// squid's basic-auth helper protocol with the real squid: a private squid on
// a free loopback port runs the authenticator as its auth_param basic
// program (two children, eight requests each at once, the client's address
// as key_extras) in front of a local HTTP server, and curl asks through it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "directory_harness.h"
#include "peer_harness.h"
#include "support/scheme_vectors.h"

namespace {

using qmdir::world;

const char* const squid_binary = "/usr/sbin/squid";
const char* const curl_binary = "/usr/bin/curl";

// A user name and a password that squid escapes on their way to the helper:
// blanks, '%', a colon (only a password can hold one in Basic
// authentication) and UTF-8.
const std::string odd_user = "jo%e sm\xc3\xadth";
const std::string odd_password = "p:ss w%rd \xc3\xa9";

std::string sql_text(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
}

// The user table: plain passwords, one stored as Dovecot's SHA512-CRYPT,
// two with a mail mask, and users for the parallel requests.
void fill_table(world& w) {
    std::string hashed;
    for (const qmtest::scheme_vector& v :
         qmtest::read_scheme_vectors(std::string(QM_SOURCE_DIR) + "/tests/schemes/vectors.txt"))
        if (v.password == "pa ss with blanks" && v.stored.rfind("{SHA512-CRYPT}", 0) == 0)
            hashed = v.stored;
    std::string sql =
        "CREATE TABLE maildb ([user] VARCHAR(64), pass VARCHAR(160), mask VARCHAR(32));"
        "INSERT INTO maildb VALUES ('alice', 'wonderland', NULL);"
        "INSERT INTO maildb VALUES (" +
        sql_text(odd_user) + ", " + sql_text(odd_password) +
        ", NULL);"
        "INSERT INTO maildb VALUES ('hashed', " +
        sql_text(hashed) +
        ", NULL);"
        "INSERT INTO maildb VALUES ('far', 'pw', '192.168.0.0');"
        "INSERT INTO maildb VALUES ('near', 'pw', '127.0.0.0');";
    for (int i = 0; i < 16; ++i)
        sql += "INSERT INTO maildb VALUES ('par" + std::to_string(i) + "', 'pw" +
               std::to_string(i) + "', NULL);";
    w.exec(sql);
}

// A private squid in the world's folder, its helpers the authenticator.
class private_squid {
public:
    explicit private_squid(world& w) : dir_(w.env().dir()) {
        port_ = qmpeer::free_port();
        std::filesystem::copy_file(QM_BINARY, dir_ + "/quillmar");
        w.env().write_file("quillmar.ini",
                           "field_username [user]\nfield_password pass\nfield_mailmask mask\n"
                           "odbc_mail_user_table maildb\ndefault_pass_scheme PLAIN\n"
                           "odbc_fast_path true\nlog_path " +
                               dir_ + "/quillmar.log\n");
        w.env().write_file(
            "squid.conf",
            "http_port 127.0.0.1:" + std::to_string(port_) + "\npid_filename " + dir_ +
                "/squid.pid\ncache_log " + dir_ + "/cache.log\naccess_log stdio:" + dir_ +
                "/access.log\ncache_store_log none\ncoredump_dir " + dir_ +
                "\nnetdb_filename none\ncache deny all\nvisible_hostname localhost\n"
                "shutdown_lifetime 1 seconds\n"
                // The lines docs/squid.md gives.
                "auth_param basic program " +
                dir_ + "/quillmar -config " + dir_ +
                "/quillmar.ini -protocol squid\n"
                "auth_param basic children 2 concurrency=8\n"
                "auth_param basic key_extras \"%>a\"\n"
                "acl users proxy_auth REQUIRED\nhttp_access allow users\nhttp_access deny all\n");
        // squid's helpers, run as proxy, read the driver manager's files too.
        for (const std::string& setting : w.env().child_environment()) {
            std::size_t eq = setting.find('=');
            env_.emplace_back(setting.substr(0, eq), setting.substr(eq + 1));
            std::string path = setting.substr(eq + 1);
            ::chmod((std::filesystem::is_directory(path) ? path : dir_).c_str(), 0755);
        }
        qmpeer::hand_to(dir_, "proxy");
        squid_.start({squid_binary, "-N", "-f", dir_ + "/squid.conf"}, env_, dir_ + "/squid.out");
        ready_ = qmpeer::wait_until([&] { return qmpeer::port_answers(port_); });
    }
    bool ready() const { return ready_; }
    std::string proxy() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::string cache_log() const { return qmpeer::read_text(dir_ + "/cache.log"); }

private:
    std::string dir_;
    int port_ = -1;
    bool ready_ = false;
    std::vector<std::pair<std::string, std::string>> env_;
    qmpeer::instance squid_;
};

// The HTTP status curl got through the proxy for user:password.
std::string status_through(const private_squid& squid, const std::string& url,
                           const std::string& user, const std::string& password) {
    qmtest::child_options options;
    options.args = {"-s",          "-o", "/dev/null",           "-w", "%{http_code}", "-x",
                    squid.proxy(), "-U", user + ":" + password, url};
    return qmtest::run_child(curl_binary, "", options).out;
}

class Squid : public ::testing::Test {
protected:
    void SetUp() override {
        std::string missing;
        if (!qmpeer::programs_here({squid_binary, curl_binary, "/usr/bin/python3"}, missing))
            GTEST_SKIP() << missing;
    }
};

TEST_F(Squid, RightAndWrongPasswords) {
    world w;
    fill_table(w);
    qmpeer::http_target target(w.env().dir() + "/www");
    private_squid squid(w);
    ASSERT_TRUE(target.ready());
    ASSERT_TRUE(squid.ready()) << squid.cache_log();
    struct row {
        std::string user, password, status;
    };
    const std::vector<row> rows = {
        {"alice", "wonderland", "200"},
        {"alice", "Wonderland", "407"},
        {odd_user, odd_password, "200"},
        {odd_user, "p:ss w%rd e", "407"},
        {"hashed", "pa ss with blanks", "200"},
        {"hashed", "pa ss", "407"},
        {"nobody", "wonderland", "407"},
        // The client's address (127.0.0.1, key_extras) against the mask.
        {"near", "pw", "200"},
        {"far", "pw", "407"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.user + ":" + r.password);
        EXPECT_EQ(status_through(squid, target.url(), r.user, r.password), r.status);
    }
    EXPECT_EQ(squid.cache_log().find("result=BH"), std::string::npos) << squid.cache_log();
}

// Sixteen requests at once, half with a wrong password: every one gets its
// own answer back through the channel IDs.
TEST_F(Squid, ParallelRequests) {
    world w;
    fill_table(w);
    qmpeer::http_target target(w.env().dir() + "/www");
    private_squid squid(w);
    ASSERT_TRUE(target.ready());
    ASSERT_TRUE(squid.ready()) << squid.cache_log();
    std::string script;
    for (int i = 0; i < 16; ++i) {
        std::string password = "pw" + std::to_string(i) + (i % 2 ? "x" : "");
        script += std::string(curl_binary) + " -s -o /dev/null -w '" + std::to_string(i) +
                  ":%{http_code}\\n' -x " + squid.proxy() + " -U par" + std::to_string(i) + ":" +
                  password + " " + target.url() + " &\n";
    }
    script += "wait\n";
    qmtest::child_options options;
    options.args = {"-c", script};
    qmtest::child_result r = qmtest::run_child("/bin/sh", "", options);
    for (int i = 0; i < 16; ++i)
        EXPECT_NE(r.out.find(std::to_string(i) + (i % 2 ? ":407" : ":200")), std::string::npos)
            << i << " in " << r.out;
}

// The database stopped under running helpers: squid gets BH, which it logs
// as the helper's failure (and asks again), not as a wrong password.
TEST_F(Squid, DatabaseStopped) {
    QM_OWN_PG_SERVERS(servers);
    world w(qmtest::db_kind::postgres, servers.env_file());
    fill_table(w);
    qmpeer::http_target target(w.env().dir() + "/www");
    private_squid squid(w);
    ASSERT_TRUE(target.ready());
    ASSERT_TRUE(squid.ready()) << squid.cache_log();
    ASSERT_EQ(status_through(squid, target.url(), "alice", "wonderland"), "200");
    ASSERT_TRUE(servers.halt());
    // A user squid has not seen, so that its own credentials cache cannot answer.
    EXPECT_EQ(status_through(squid, target.url(), "par1", "pw1"), "407");
    const std::string log = squid.cache_log();
    EXPECT_NE(log.find("result=BH"), std::string::npos) << log;
    EXPECT_NE(log.find("the user database cannot answer"), std::string::npos) << log;
}

}  // namespace
