// checkpassword with the real Dovecot: a private instance (its own base_dir,
// no listener but its auth service's sockets) with the authenticator as its
// checkpassword passdb and prefetch as userdb, asked through doveadm: a
// login, the userdb fields it maps, and Dovecot's userdb-only call.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "directory_harness.h"
#include "peer_harness.h"

namespace {

using qmdir::world;

const char* const dovecot_binary = "/usr/sbin/dovecot";
const char* const doveadm_binary = "/usr/bin/doveadm";

void fill_table(world& w) {
    w.exec(
        "CREATE TABLE maildb ([user] VARCHAR(64), pass VARCHAR(64), quota VARCHAR(16), [drop] "
        "VARCHAR(64));"
        "INSERT INTO maildb VALUES ('alice@example.org', 'wonderland', '500M', "
        "'/var/mail/alice/');"
        "INSERT INTO maildb VALUES ('bob@example.org', 'builder', NULL, 'mdbox:/srv/bob');");
}

class private_dovecot {
public:
    explicit private_dovecot(world& w) : dir_(w.env().dir()) {
        std::filesystem::copy_file(QM_BINARY, dir_ + "/quillmar");
        w.env().write_file("quillmar.ini",
                           "field_username [user]\nfield_password pass\nfield_quota quota\n"
                           "field_maildrop [drop]\nodbc_mail_user_table maildb\n"
                           "odbc_mail_uid 5000\ndomain example.org\nlog_path " +
                               dir_ + "/quillmar.log\n");
        std::string import = "TZ";
        for (const std::string& setting : w.env().child_environment()) {
            import += " " + setting;
            std::string path = setting.substr(setting.find('=') + 1);
            if (std::filesystem::is_directory(path)) ::chmod(path.c_str(), 0755);
        }
        const std::string program =
            dir_ + "/quillmar -config " + dir_ + "/quillmar.ini -protocol checkpassword";
        // Run by hand as another user than root, Dovecot's processes run as that user.
        std::string users;
        if (::getuid() != 0) {
            const passwd* me = ::getpwuid(::getuid());
            users = std::string("default_internal_user = ") + me->pw_name +
                    "\ndefault_login_user = " + me->pw_name + "\n";
        }
        w.env().write_file(
            "dovecot.conf",
            "base_dir = " + dir_ + "/run\nstate_dir = " + dir_ + "/state\nlog_path = " + dir_ +
                "/dovecot.log\ninstance_name = quillmar-test\nprotocols =\nlisten = 127.0.0.1\n"
                "ssl = no\ndisable_plaintext_auth = no\nauth_mechanisms = "
                "plain\nauth_failure_delay = 0\n"
                "import_environment = " +
                import + "\n" + users +
                // The lines docs/dovecot.md gives.
                "passdb {\n  driver = checkpassword\n  args = " + program +
                "\n  override_fields = userdb_gid=5000\n}\n"
                "userdb {\n  driver = prefetch\n}\n"
                "userdb {\n  driver = checkpassword\n  args = " +
                program +
                "\n  override_fields = gid=5000\n}\n"
                // A sanitizer build reserves more address space than the
                // auth service's default limit lets its children have.
                "service auth {\n  vsz_limit = 0\n}\n");
        config_ = dir_ + "/dovecot.conf";
        qmpeer::hand_to(dir_, "dovecot");
        dovecot_.start({dovecot_binary, "-F", "-c", config_}, {}, dir_ + "/dovecot.out");
        ready_ =
            qmpeer::wait_until([&] { return std::filesystem::exists(dir_ + "/run/auth-userdb"); });
    }
    bool ready() const { return ready_; }
    std::string log() const { return qmpeer::read_text(dir_ + "/dovecot.log"); }

    qmtest::child_result doveadm(std::vector<std::string> args) const {
        qmtest::child_options options;
        options.args = {"-c", config_};
        options.args.insert(options.args.end(), args.begin(), args.end());
        return qmtest::run_child(doveadm_binary, "", options);
    }

private:
    std::string dir_, config_;
    bool ready_ = false;
    qmpeer::instance dovecot_;
};

class Dovecot : public ::testing::Test {
protected:
    void SetUp() override {
        std::string missing;
        if (!qmpeer::programs_here(
                {dovecot_binary, doveadm_binary, "/usr/lib/dovecot/checkpassword-reply"}, missing))
            GTEST_SKIP() << missing;
    }
};

// doveadm's exit statuses: 0, 77 for a refused login (EX_NOPERM), 67 for an
// unknown user (EX_NOUSER), 75 for a temporary failure (EX_TEMPFAIL). Each
// refused login would make Dovecot wait longer before the next one.
TEST_F(Dovecot, LoginsAndLookups) {
    const std::string nopenalty = "-xno-penalty";
    world w;
    fill_table(w);
    private_dovecot dovecot(w);
    ASSERT_TRUE(dovecot.ready()) << dovecot.log();
    struct row {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> shown;
    };
    const std::vector<row> rows = {
        {{"auth", "test", nopenalty, "alice", "wonderland"},
         0,
         {"auth succeeded", "user=alice@example.org"}},
        {{"auth", "test", nopenalty, "alice", "Wonderland"}, 77, {"auth failed"}},
        {{"auth", "test", nopenalty, "nobody", "wonderland"}, 77, {"auth failed"}},
        // The userdb fields of the "+OK" line, through prefetch.
        {{"auth", "login", nopenalty, "alice", "wonderland"},
         0,
         {"mail=maildir:/var/mail/alice/", "uid=5000", "gid=5000", "quota_rule=*:storage=500M"}},
        // Dovecot's userdb-only call (AUTHORIZED=1): no password, no prefetch.
        {{"user", "-u", "bob"}, 0, {"mdbox:/srv/bob", "uid       : 5000", "gid       : 5000"}},
        {{"user", "-u", "nobody"}, 67, {"doesn't exist"}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.args[0] + " " + r.args[1] + " " + r.args.back());
        qmtest::child_result result = dovecot.doveadm(r.args);
        EXPECT_EQ(result.exit_code, r.status) << result.out << result.err;
        for (const std::string& text : r.shown)
            EXPECT_NE((result.out + result.err).find(text), std::string::npos)
                << text << " in " << result.out << result.err;
    }
}

// The database stopped: a temporary failure for the login and the lookup
// alike, never a wrong password or an unknown user.
TEST_F(Dovecot, DatabaseStopped) {
    QM_OWN_PG_SERVERS(servers);
    world w(qmtest::db_kind::postgres, servers.env_file());
    fill_table(w);
    private_dovecot dovecot(w);
    ASSERT_TRUE(dovecot.ready()) << dovecot.log();
    ASSERT_EQ(dovecot.doveadm({"auth", "test", "alice", "wonderland"}).exit_code, 0);
    ASSERT_TRUE(servers.halt());
    qmtest::child_result login = dovecot.doveadm({"auth", "test", "alice", "wonderland"});
    qmtest::child_result user = dovecot.doveadm({"user", "-u", "bob"});
    // doveadm auth test says a temporary failure in its output alone.
    EXPECT_NE(login.out.find("code=temp_fail"), std::string::npos) << login.out << login.err;
    EXPECT_EQ(user.exit_code, 75) << user.out << user.err;
    EXPECT_NE(dovecot.log().find("exited with status 111"), std::string::npos) << dovecot.log();
}

}  // namespace
