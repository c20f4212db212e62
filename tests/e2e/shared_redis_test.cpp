// Three front hosts sharing the throttle and the cache flushes through a
// private Redis: a guesser spread over them, a flush run on one of them,
// Redis killed and started again, a replica promoted in its place, and what
// Redis holds (nothing in clear).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "redis_harness.h"

namespace {

using qmredis::bob_no;
using qmredis::bob_ok;
using qmredis::redis_instance;
using qmredis::site;

// One check on a host and the answer it must get.
struct step {
    int host;
    std::string command;
    std::string answer;
};

class hosts_running {
public:
    explicit hosts_running(const site& s) {
        for (int h = 1; h <= site::hosts; ++h)
            sessions_.push_back(std::make_unique<qmtest::child_session>(QM_BINARY, s.options(h)));
    }
    qmtest::child_session& operator[](int host) { return *sessions_.at(host - 1); }
    std::string ask(int host, const std::string& command) {
        const std::vector<std::string> answer = qmdir::ask((*this)[host], command);
        return answer.empty() ? "" : answer.back();
    }
    void walk(const std::vector<step>& steps) {
        for (const step& st : steps)
            EXPECT_EQ(ask(st.host, st.command), st.answer)
                << "host " << st.host << ": " << st.command;
    }

private:
    std::vector<std::unique_ptr<qmtest::child_session>> sessions_;
};

// A guesser from one address who tries two passwords on each host.
std::vector<step> guesses(const std::string& address, int first_host, int count) {
    std::vector<step> steps;
    for (int i = 0; i < count; ++i)
        steps.push_back({(first_host - 1 + i / 2) % site::hosts + 1,
                         "check bob guess" + std::to_string(i) + " " + address, bob_no});
    return steps;
}

std::vector<step> right_password_everywhere(const std::string& address, const std::string& answer) {
    std::vector<step> steps;
    for (int h = 1; h <= site::hosts; ++h)
        steps.push_back({h, "check bob secret " + address, answer});
    return steps;
}

TEST(SharedRedis, GuesserSpreadOverHostsIsThrottledAfterTheSharedCount) {
    site s;
    redis_instance redis(s.dir());
    s.write_inis(redis.endpoint(), "auth_failure_limit 6 60\n");
    hosts_running hosts(s);
    // Six failures, two on each host and a repeat that counts once: no host
    // reaches six alone, and until the sixth the right password passes.
    std::vector<step> steps = guesses("198.51.100.7", 1, 5);
    steps.push_back({3, "check bob guess4 198.51.100.7", bob_no});
    for (const step& st : right_password_everywhere("198.51.100.7", bob_ok)) steps.push_back(st);
    steps.push_back({3, "check bob guess5 198.51.100.7", bob_no});
    hosts.walk(steps);
    // The sixth throttled its host; each other host at its first failure after.
    hosts.walk({{3, "check bob secret 198.51.100.7", bob_no},
                {1, "check bob secret 198.51.100.7", bob_ok},
                {1, "check bob guess6 198.51.100.7", bob_no},
                {1, "check bob secret 198.51.100.7", bob_no},
                {2, "check bob guess7 198.51.100.7", bob_no},
                {2, "check bob secret 198.51.100.7", bob_no},
                {2, "check bob secret 198.51.100.8", bob_ok}});
    for (int h = 1; h <= site::hosts; ++h)
        EXPECT_EQ(s.log_count(h, "Throttle on for 198.51.100.7:"), 1) << "host " << h;

    // Nothing in Redis names the user or the address; its keys are ours.
    hosts.walk({{1, "check bob secret 10.1.2.3", bob_ok}});
    ASSERT_EQ(qmtest::run_child(QM_BINARY, "", s.options(2, {"-flush", "bob"})).exit_code, 0);
    std::string held = redis.cli({"KEYS", "*"});
    for (const std::string& key : qmtest::split_lines(redis.cli({"KEYS", "*"}))) {
        std::string name = key.substr(0, key.find_last_not_of("\r\n") + 1);
        EXPECT_EQ(name.rfind("quillmar:", 0), 0u) << name;
        const std::string type = redis.cli({"TYPE", name});
        held += redis.cli({type == "hash\n" ? "HGETALL" : "GET", name});
    }
    EXPECT_NE(held.find("quillmar:fail:"), std::string::npos) << held;
    EXPECT_NE(held.find("quillmar:flush:generation"), std::string::npos) << held;
    for (const char* clear : {"bob", "198.51.100", "c633640700000000", "guess", "secret"})
        EXPECT_EQ(held.find(clear), std::string::npos) << clear << " in " << held;
}

TEST(SharedRedis, FlushOnOneHostReachesEveryHostWithinASecond) {
    site s;
    redis_instance redis(s.dir());
    s.write_inis(redis.endpoint(), "cache_ttl 300\n");
    hosts_running hosts(s);
    hosts.walk(right_password_everywhere("10.0.0.1", bob_ok));
    s.w.exec("UPDATE maildb SET pass = 'changed' WHERE [user] = 'bob'");
    // The caches answer: this is what the flush is for.
    hosts.walk(right_password_everywhere("10.0.0.1", bob_ok));
    const qmtest::child_result flushed =
        qmtest::run_child(QM_BINARY, "", s.options(2, {"-flush", "bob"}));
    EXPECT_EQ(flushed.exit_code, 0) << flushed.err;
    EXPECT_NE(flushed.out.find("and of every host (shared_redis)"), std::string::npos);
    const auto done = std::chrono::steady_clock::now();
    for (int h = 1; h <= site::hosts; ++h) {
        std::string answer = hosts.ask(h, "check bob secret 10.0.0.1");
        while (answer == bob_ok &&
               std::chrono::steady_clock::now() - done < std::chrono::seconds(1)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            answer = hosts.ask(h, "check bob secret 10.0.0.1");
        }
        EXPECT_EQ(answer, bob_no) << "host " << h;
        EXPECT_EQ(hosts.ask(h, "check bob changed 10.0.0.1"), bob_ok) << "host " << h;
    }

    // Redis gone: the local part is done, the shared part said to have failed.
    redis.kill();
    const qmtest::child_result local = qmtest::run_child(QM_BINARY, "", s.options(1, {"-flush"}));
    EXPECT_EQ(local.exit_code, 2);
    EXPECT_NE(local.out.find("flushed every entry"), std::string::npos) << local.out;
    EXPECT_NE(local.err.find("shared flush failed"), std::string::npos) << local.err;
}

TEST(SharedRedis, RedisGoneEveryCheckAnsweredAndThrottledLocallyUntilItIsBack) {
    site s;
    redis_instance redis(s.dir());
    s.write_inis(redis.endpoint(), "auth_failure_limit 3 60\nshared_redis_timeout 300\n");
    hosts_running hosts(s);
    hosts.walk({{1, "check bob secret 10.0.0.1", bob_ok}});
    redis.kill();
    // Host 1 alone counts its guesser; the right password still passes elsewhere.
    hosts.walk({{1, "check bob w1 203.0.113.9", bob_no},
                {1, "check bob w2 203.0.113.9", bob_no},
                {2, "check bob secret 203.0.113.9", bob_ok},
                {1, "check bob w3 203.0.113.9", bob_no},
                {1, "check bob secret 203.0.113.9", bob_no},
                {2, "check bob secret 203.0.113.9", bob_ok}});
    const std::string lost = "ERROR: Shared state: Redis lost (" + redis.endpoint() + ": ";
    EXPECT_EQ(s.log_count(1, lost), 1) << s.log(1);

    // A Redis that takes connections and answers none: the first failure
    // waits out the timeout, the next ones within the second none.
    redis.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    redis.pause(true);
    const auto before = std::chrono::steady_clock::now();
    for (int i = 1; i <= 6; ++i)
        hosts.walk({{2, "check bob p" + std::to_string(i) + " 192.0.2.50", bob_no}});
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - before);
    EXPECT_LT(waited.count(), 900);
    EXPECT_EQ(s.log_count(2, lost), 1) << s.log(2);
    redis.pause(false);

    // Back: the first failure after a second says so, and counts are shared again.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    hosts.walk({{1, "check bob x1 203.0.113.20", bob_no},
                {2, "check bob x2 203.0.113.20", bob_no},
                {3, "check bob x3 203.0.113.20", bob_no},
                {3, "check bob secret 203.0.113.20", bob_no},
                {1, "check bob x4 203.0.113.20", bob_no},
                {1, "check bob secret 203.0.113.20", bob_no}});
    const std::string back = "ERROR: Shared state: Redis back (" + redis.endpoint() + ")";
    EXPECT_EQ(s.log_count(1, back), 1) << s.log(1);
    EXPECT_EQ(s.log_count(2, back), 1) << s.log(2);

    // Started again under the connections kept: each host makes a fresh one
    // (and loads its script anew) without a word, and the count is shared.
    redis.start();
    hosts.walk({{1, "check bob y1 203.0.113.30", bob_no},
                {2, "check bob y2 203.0.113.30", bob_no},
                {3, "check bob y3 203.0.113.30", bob_no},
                {3, "check bob secret 203.0.113.30", bob_no}});
    for (int h = 1; h <= site::hosts; ++h)
        EXPECT_EQ(s.log_count(h, "Shared state: Redis lost"), h == 3 ? 0 : 1) << s.log(h);
}

TEST(SharedRedis, ReplicaPromotedInPlaceOfTheFirstTakesOver) {
    site s;
    redis_instance first(s.dir());
    redis_instance replica(s.dir(), first.port());
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (replica.cli({"INFO", "replication"}).find("master_link_status:up") ==
               std::string::npos &&
           std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    s.write_inis(first.endpoint() + " " + replica.endpoint(), "auth_failure_limit 3 60\n");
    hosts_running hosts(s);
    hosts.walk({{1, "check bob a1 198.51.100.40", bob_no}});
    first.kill();
    // The replica refuses writes: passed over like a Redis that is gone.
    hosts.walk({{2, "check bob a2 198.51.100.40", bob_no}});
    EXPECT_EQ(s.log_count(2, "Redis lost (" + first.endpoint() + ": Connection refused; " +
                                 replica.endpoint() + ": a replica (READONLY))"),
              1)
        << s.log(2);
    replica.cli({"REPLICAOF", "NO", "ONE"});
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    hosts.walk({{1, "check bob b1 198.51.100.41", bob_no},
                {2, "check bob b2 198.51.100.41", bob_no},
                {3, "check bob b3 198.51.100.41", bob_no},
                {3, "check bob secret 198.51.100.41", bob_no},
                {1, "check bob b4 198.51.100.41", bob_no},
                {1, "check bob secret 198.51.100.41", bob_no},
                {2, "check bob secret 198.51.100.42", bob_ok}});
    EXPECT_NE(replica.cli({"KEYS", "quillmar:fail:*"}), "");
    EXPECT_EQ(s.log_count(1, "Redis back (" + replica.endpoint() + ")"), 1) << s.log(1);
}

TEST(SharedRedis, PasswordReadFromItsFileAndOneMissingSaid) {
    site s;
    redis_instance redis(s.dir(), 0, "pw-of-the-site");
    s.w.env().write_file("redis-password", "pw-of-the-site\n");
    s.write_inis(redis.endpoint(), "auth_failure_limit 2 60\n");
    {
        hosts_running hosts(s);
        hosts.walk({{1, "check bob n1 192.0.2.60", bob_no}});
    }
    EXPECT_EQ(s.log_count(1, "Redis lost (" + redis.endpoint() + ": NOAUTH"), 1) << s.log(1);
    s.write_inis(redis.endpoint(), "auth_failure_limit 2 60\nshared_redis_password_file " +
                                       s.dir() + "/redis-password\n");
    hosts_running hosts(s);
    hosts.walk({{1, "check bob m1 192.0.2.61", bob_no},
                {2, "check bob m2 192.0.2.61", bob_no},
                {1, "check bob m3 192.0.2.61", bob_no},
                {1, "check bob secret 192.0.2.61", bob_no}});
}

// The keys and what -check says of them.
struct check_case {
    const char* name;
    std::string keys;
    std::string secret;  // the secret file's bytes; empty: no file
    int mode;
    std::string line;  // the problem -check names, or "" for none
};

TEST(SharedRedis, CheckSaysWhatKeepsTheSharedStateFromWorking) {
    const std::string strong(40, 'k');
    const check_case cases[] = {
        {"good", "shared_redis 127.0.0.1:6379\n", strong, 0600, ""},
        {"no secret", "shared_redis 127.0.0.1:6379\n", "", 0, "shared_secret_file is not"},
        {"missing secret", "shared_redis r1:6379 [::1]:6380\nshared_secret_file /nonexistent\n", "",
         0, "cannot be read: No such file or directory"},
        {"short secret", "shared_redis r1:6379\n", "short\n", 0600, "has 5 bytes, fewer than 32"},
        {"readable by the group", "shared_redis r1:6379\n", strong, 0640,
         "may be read by its group or others"},
        {"no port", "shared_redis r1\n", strong, 0600, "shared_redis takes host:port words"},
        {"timeout of 0", "shared_redis r1:1\nshared_redis_timeout 0\n", strong, 0600,
         "shared_redis_timeout takes milliseconds from 1 to 10000, not (0)"},
        {"password file missing", "shared_redis r1:1\nshared_redis_password_file /nonexistent\n",
         strong, 0600, "the Redis password (shared_redis_password_file /nonexistent) cannot"},
    };
    for (const check_case& c : cases) {
        SCOPED_TRACE(c.name);
        qmdir::world w;
        w.standard_table();
        std::string keys = c.keys;
        if (!c.secret.empty()) {
            const std::string path = w.env().dir() + "/secret";
            w.env().write_file("secret", c.secret);
            std::filesystem::permissions(path, static_cast<std::filesystem::perms>(c.mode));
            keys += "shared_secret_file " + path + "\n";
        }
        w.write_ini(std::string(qmdir::full_ini) + keys);
        const qmtest::child_result r = w.run("", {"-check"});
        if (c.line.empty()) {
            EXPECT_NE(r.out.find("all is well"), std::string::npos) << r.out;
            EXPECT_EQ(r.exit_code, 0);
        } else {
            EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
            EXPECT_EQ(r.exit_code, 1) << r.out;
        }
    }
}

}  // namespace
