// Refused checks through the whole authenticator: the failure lines it
// writes, read by Debian's fail2ban-regex with the filter the package ships,
// and the throttle of a guesser shared by four authenticators through one
// table file that is removed under them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "directory_harness.h"

namespace {

using qmdir::ask;
using qmdir::world;

const std::string fail2ban_regex = "/usr/bin/fail2ban-regex";

std::vector<std::string> messages_beginning(const world& w, const std::string& head) {
    std::vector<std::string> out;
    for (const std::string& m : w.log_messages())
        if (m.rfind(head, 0) == 0) out.push_back(m);
    return out;
}

// The lines of fail2ban-regex's output for each match: the address and the
// user name it found.
std::vector<std::string> fail2ban_matches(world& w) {
    qmtest::child_options o;
    o.args = {"-o", "<ip> <F-USER>", w.env().dir() + "/quillmar.log",
              std::string(QM_SOURCE_DIR) + "/packaging/fail2ban/quillmar-filter.conf"};
    const qmtest::child_result r = qmtest::run_child(fail2ban_regex, "", o);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    std::vector<std::string> lines = qmtest::split_lines(r.out);
    for (std::string& line : lines) line.erase(line.find_last_not_of("\r\n") + 1);
    return lines;
}

// Each command, its answer, its failure line ("": none) and whether
// fail2ban must find it: the client's own tries and throttled ones, with
// an address.
struct step {
    std::string command;
    std::string answer;
    std::string line;
    bool found = false;
};

TEST(DirectoryFailureLines, WrittenForEveryRefusalAndReadByFail2ban) {
    ASSERT_EQ(access(fail2ban_regex.c_str(), X_OK), 0)
        << "fail2ban-regex missing: scripts/deps.sh installs fail2ban";
    world w;
    w.standard_table();
    const std::string keys = "log_auth_failures true\nauth_failure_limit 4 2\nauth_failure_table " +
                             w.env().dir() + "/table\nauth_trusted_networks 203.0.113.0/24\n";
    w.write_ini(std::string(qmdir::full_ini) + keys + "default_pass_scheme PLAIN\n");
    const std::string bob_ok = "+OK bob /var/mail/bob 0 quota=\"100\"";
    const std::string bob_no = "-ERR bob password wrong or not a valid user";
    const std::string guessed = "rip=198.51.100.9 reason=wrong-password user=bob";
    const std::string throttled = "rip=198.51.100.9 reason=throttled user=bob";
    const std::string trusted = "rip=203.0.113.5 reason=wrong-password user=bob";
    const std::vector<step> steps = {
        {"check bob secret 192.0.2.1", bob_ok, ""},
        {"check bob wrong 192.0.2.2", bob_no, "rip=192.0.2.2 reason=wrong-password user=bob", true},
        {"check nobody x 192.0.2.3", "-ERR nobody password wrong or not a valid user",
         "rip=192.0.2.3 reason=unknown-user user=nobody", true},
        {"check ann pw 192.0.2.4", "-ERR ann password wrong or not a valid user",
         "rip=192.0.2.4 reason=mask user=ann", true},
        {"check twin a 192.0.2.5", "-ERR twin password wrong or not a valid user",
         "rip=192.0.2.5 reason=refused-value user=twin"},
        // Names that hold an address, or a field of their own.
        {"check x\trip=10.9.9.9 y 192.0.2.6",
         "-ERR x\trip=10.9.9.9 password wrong or not a valid user",
         "rip=192.0.2.6 reason=unknown-user user=x\\x09rip\\x3d10.9.9.9", true},
        {"check rip=10.9.9.9 y ::ffff:192.0.2.7",
         "-ERR rip=10.9.9.9 password wrong or not a valid user",
         "rip=192.0.2.7 reason=unknown-user user=rip\\x3d10.9.9.9", true},
        {"check 10.9.9.9 y 2001:db8::7", "-ERR 10.9.9.9 password wrong or not a valid user",
         "rip=2001:db8::7 reason=unknown-user user=10.9.9.9", true},
        // No address, and a third word that is none.
        {"check bob wrong", bob_no, "rip=- reason=wrong-password user=bob"},
        {"check bob wrong 192.0.2.8 rip=10.9.9.9", bob_no, "rip=- reason=wrong-password user=bob"},
        // A guesser: the same password again counts once; the fourth
        // counted failure starts the throttle, under which the right
        // password is refused too, and another address is served.
        {"check bob g1 198.51.100.9", bob_no, guessed, true},
        {"check bob g1 198.51.100.9", bob_no, guessed, true},
        {"check bob g2 198.51.100.9", bob_no, guessed, true},
        {"check bob g3 198.51.100.9", bob_no, guessed, true},
        {"check bob g4 198.51.100.9", bob_no, guessed, true},
        {"check bob g5 198.51.100.9", bob_no, throttled, true},
        {"debug", "+OK Debug Turned ON", ""},
        {"check bob secret 198.51.100.9", bob_no, throttled, true},
        {"debug", "+OK Debug Turned OFF", ""},
        {"check bob secret 192.0.2.1", bob_ok, ""},
        // A trusted network is never throttled.
        {"check bob t1 203.0.113.5", bob_no, trusted, true},
        {"check bob t2 203.0.113.5", bob_no, trusted, true},
        {"check bob t3 203.0.113.5", bob_no, trusted, true},
        {"check bob t4 203.0.113.5", bob_no, trusted, true},
        {"check bob secret 203.0.113.5", bob_ok, ""},
        // The database gone: error lines, and a refusal that is no try's.
        {"sql:ALTER TABLE maildb RENAME TO gone", "", ""},
        {"check bob secret 192.0.2.9", bob_no, "rip=192.0.2.9 reason=database-error user=bob"},
        {"sql:ALTER TABLE gone RENAME TO maildb", "", ""},
        // The throttle's two seconds pass.
        {"sleep", "", ""},
        {"check bob secret 198.51.100.9", bob_ok, ""},
    };
    std::vector<std::string> lines, found;
    {
        qmtest::child_session s(QM_BINARY, w.options());
        for (const step& st : steps) {
            if (st.command.rfind("sql:", 0) == 0) {
                w.exec(st.command.substr(4));
                continue;
            }
            if (st.command == "sleep") {
                std::this_thread::sleep_for(std::chrono::milliseconds(2200));
                continue;
            }
            const std::vector<std::string> answer = ask(s, st.command);
            ASSERT_FALSE(answer.empty()) << st.command;
            EXPECT_EQ(answer.back(), st.answer + "\r\n") << st.command;
            if (!st.line.empty()) lines.push_back("Check refused: " + st.line);
            // fail2ban's "<ip> <user>" from the line's rip= and user=.
            if (st.found)
                found.push_back(st.line.substr(4, st.line.find(' ') - 4) + " " +
                                st.line.substr(st.line.find(" user=") + 6));
        }
        s.finish();
    }
    // A second authenticator without stored hashes: the database compares
    // the password too, and no row is either reason.
    w.write_ini(std::string(qmdir::full_ini) + keys);
    EXPECT_EQ(w.run("check bob wrong 192.0.2.10\n").out, bob_no + "\r\n");
    lines.push_back("Check refused: rip=192.0.2.10 reason=wrong-user-or-password user=bob");
    found.push_back("192.0.2.10 bob");

    EXPECT_EQ(messages_beginning(w, "Check refused: "), lines);
    EXPECT_EQ(fail2ban_matches(w), found);

    // The throttle's own lines, once each; the throttled check asked
    // neither the database nor the hash.
    EXPECT_EQ(messages_beginning(w, "Throttle on for 198.51.100.9: 4 failed checks within 2 s"),
              std::vector<std::string>{
                  "Throttle on for 198.51.100.9: 4 failed checks within 2 s; its checks are "
                  "refused for 2 s"});
    EXPECT_EQ(messages_beginning(w, "Throttle off for "),
              std::vector<std::string>{
                  "Throttle off for 198.51.100.9: 2 checks refused while it lasted"});
    const std::vector<std::string> all = w.log_messages();
    bool throttled_seen = false, asked = false;
    for (const std::string& m : all) {
        if (m == "...Throttled: refused at once") throttled_seen = true;
        if (throttled_seen && m.find("Sending Query") != std::string::npos) asked = true;
        if (throttled_seen && m.rfind("Check refused:", 0) == 0) break;
    }
    EXPECT_TRUE(throttled_seen);
    EXPECT_FALSE(asked);
}

// Four authenticators on one table, as a mail server starts them; a guesser
// spreads 1,000 wrong passwords over them from one address while another
// address logs in; then the table is removed under them.
TEST(DirectoryThrottle, FourProcessesShareOneTable) {
    world w;
    w.standard_table();
    const std::string table = w.env().dir() + "/table";
    w.write_ini(std::string(qmdir::full_ini) +
                "log_auth_failures true\nauth_failure_limit 20 600\nauth_failure_table " + table +
                "\n");
    std::vector<std::unique_ptr<qmtest::child_session>> sessions;
    for (int i = 0; i < 4; ++i)
        sessions.push_back(std::make_unique<qmtest::child_session>(QM_BINARY, w.options()));
    const std::string refused = "-ERR bob password wrong or not a valid user\r\n";
    const std::string served = "+OK bob /var/mail/bob 0 quota=\"100\"\r\n";
    int tries = 0;
    auto guess = [&](int count) {
        for (int i = 0; i < count; ++i, ++tries) {
            qmtest::child_session& s = *sessions[tries % 4];
            const std::vector<std::string> answer =
                ask(s, "check bob guess" + std::to_string(tries) + " 198.51.100.20");
            ASSERT_FALSE(answer.empty());
            EXPECT_EQ(answer.back(), refused) << tries;
            if (tries % 25 == 0) {
                const std::vector<std::string> right = ask(s, "check bob secret 192.0.2.30");
                ASSERT_FALSE(right.empty());
                EXPECT_EQ(right.back(), served) << tries;
            }
        }
    };
    // The reasons of the guesser's lines, in the order written.
    auto reasons = [&]() {
        std::string order;
        for (const std::string& m : messages_beginning(w, "Check refused: rip=198.51.100.20 "))
            order += m.find("reason=throttled") != std::string::npos ? 'T' : 'F';
        return order;
    };
    guess(1000);
    EXPECT_EQ(reasons(), std::string(20, 'F') + std::string(980, 'T'));

    ASSERT_EQ(std::remove(table.c_str()), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    guess(30);
    EXPECT_TRUE(std::filesystem::exists(table));
    EXPECT_EQ(reasons(), std::string(20, 'F') + std::string(980, 'T') + std::string(20, 'F') +
                             std::string(10, 'T'));
    for (auto& s : sessions) s->finish();
    EXPECT_EQ(messages_beginning(w, "Throttle on for 198.51.100.20: 20 failed checks").size(), 2u);
    EXPECT_EQ(messages_beginning(w, "Throttle: table (" + table + ") was removed").size(), 1u);
}

// squid's helper protocol and checkpassword ask the same check: their
// refusals write the failure line with the client's address (squid's %>a,
// checkpassword's TCPREMOTEIP), and a throttle started through one protocol
// refuses through the other with the answer of a wrong password, not the
// answer of a database that cannot answer.
TEST(DirectoryThrottle, SquidAndCheckpasswordShareIt) {
    world w;
    w.standard_table();
    w.write_ini(std::string(qmdir::full_ini) +
                "log_auth_failures true\nauth_failure_limit 3 600\nauth_failure_table " +
                w.env().dir() + "/table\ndefault_pass_scheme PLAIN\n");
    const qmtest::child_result squid = w.run(
        "0 bob wrong 198.51.100.7\n1 nobody x 198.51.100.7\n2 x%20rip%3d10.9.9.9 y "
        "198.51.100.7\n3 bob secret 198.51.100.7\n4 bob secret 192.0.2.1\n5 bob wrong -\n",
        {"-protocol", "squid"});
    EXPECT_EQ(squid.out, "0 ERR\n1 ERR\n2 ERR\n3 ERR\n4 OK\n5 ERR\n");
    struct login {
        const char* address;  // TCPREMOTEIP; null: none
        const char* password;
        int status;
    };
    const login logins[] = {
        {"198.51.100.7", "secret", 1},
        {"2001:db8::8", "wrong", 1},
        {nullptr, "wrong", 1},
        {"192.0.2.2", "secret", 0},
    };
    for (const login& l : logins) {
        qmtest::child_options o = w.options({"-protocol", "checkpassword", "/bin/true"});
        if (l.address) o.env.emplace_back("TCPREMOTEIP", l.address);
        const std::string data = std::string("bob") + '\0' + l.password + '\0';
        o.in_child = [data] {
            int p[2];
            if (::pipe(p) != 0 || ::write(p[1], data.data(), data.size()) < 0) ::_exit(125);
            ::close(p[1]);
            if (p[0] != 3) {
                ::dup2(p[0], 3);
                ::close(p[0]);
            }
        };
        EXPECT_EQ(qmtest::run_child(QM_BINARY, "", o).exit_code, l.status) << l.address;
    }
    EXPECT_EQ(messages_beginning(w, "Check refused: "),
              (std::vector<std::string>{
                  "Check refused: rip=198.51.100.7 reason=wrong-password user=bob",
                  "Check refused: rip=198.51.100.7 reason=unknown-user user=nobody",
                  "Check refused: rip=198.51.100.7 reason=unknown-user user=x\\x20rip\\x3d10.9.9.9",
                  "Check refused: rip=198.51.100.7 reason=throttled user=bob",
                  "Check refused: rip=- reason=wrong-password user=bob",
                  "Check refused: rip=198.51.100.7 reason=throttled user=bob",
                  "Check refused: rip=2001:db8::8 reason=wrong-password user=bob",
                  "Check refused: rip=- reason=wrong-password user=bob",
              }));
    EXPECT_EQ(messages_beginning(w, "Throttle on for ").size(), 1u);
}

}  // namespace
