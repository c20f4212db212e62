// The answer cache on its own: its keys, what it answers over time for
// right, wrong and unknown, the records it gives back, the order in which
// users leave, the fingerprint and the outage's two log lines.
#include <gtest/gtest.h>

#include <sodium.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "cache/answer_cache.h"
#include "dbwrap/log_capture.h"

namespace {

using std::chrono::seconds;

const cache_clock::time_point start{std::chrono::hours(1)};
cache_clock::time_point at(int s) { return start + seconds(s); }

cache_answer ask_check(answer_cache& cache, std::string_view user, std::string_view password,
                       cache_clock::time_point now) {
    password_fingerprint made;
    return cache.check(user, password, now, made);
}

TEST(CacheSettings, KeysAndValues) {
    struct row {
        const char* key;
        const char* value;
        int handled;
        cache_settings expected;  // after the key, from the defaults
        bool error_line;
    };
    const cache_settings d;
    const row rows[] = {
        {"cache_ttl", "300", 1, {300, 0, 10000, 86400}, false},
        {"CACHE_TTL", "0", 1, d, false},
        {"cache_negative_ttl", "60", 1, {0, 60, 10000, 86400}, false},
        {"Cache_Size", "100000", 1, {0, 0, 100000, 86400}, false},
        {"cache_stale_ttl", "0", 1, {0, 0, 10000, 0}, false},
        {"cache_retry_interval", "30", 1, {0, 0, 10000, 86400, 30}, false},
        {"cache_retry_interval", "x", 1, d, true},
        {"cache_ttl", "2147483647", 1, {2147483647, 0, 10000, 86400}, false},
        {"cache_ttl", "2147483648", 1, d, true},
        {"cache_ttl", "-5", 1, d, true},
        {"cache_size", "10k", 1, d, true},
        {"cache_stale_ttl", "1e3", 1, d, true},
        {"cache_ttls", "5", 0, d, false},
        {"odbc_server", "5", 0, d, false},
    };
    for (const row& r : rows) {
        log_capture log;
        cache_settings s;
        EXPECT_EQ(cache_load(s, r.key, r.value), r.handled) << r.key << " " << r.value;
        EXPECT_EQ(s.ttl, r.expected.ttl) << r.key << " " << r.value;
        EXPECT_EQ(s.negative_ttl, r.expected.negative_ttl) << r.key;
        EXPECT_EQ(s.size, r.expected.size) << r.key;
        EXPECT_EQ(s.stale_ttl, r.expected.stale_ttl) << r.key;
        EXPECT_EQ(s.retry_interval, r.expected.retry_interval) << r.key;
        EXPECT_EQ(log.messages().size(), r.error_line ? 1u : 0u) << r.key << " " << r.value;
    }
}

// One cache walked through time: ttl 10 s, negative 5 s, stale 100 s. The
// steps of one user follow each other; different users do not meet.
TEST(AnswerCache, AnswersOverTime) {
    enum op {
        check,
        lookup,
        check_stale,
        lookup_stale,
        db_ok,           // the database took the password
        db_wrong,        // ... refused it, user may exist
        db_gone,         // ... found no row for the user
        db_found,        // a lookup found the user
        db_lookup_none,  // a lookup found no row
    };
    using v = cache_verdict;
    struct step {
        int second;
        op what;
        const char* user;
        const char* password;
        v expected;  // for the asking steps
    };
    const step steps[] = {
        // A right password answers until expiry; a wrong one refused beside
        // it is refused again, as for a user without a kept login.
        {0, check, "bob", "pw1", v::ask},
        {0, db_ok, "bob", "pw1", v::ask},
        {1, check, "bob", "pw1", v::accept},
        {1, lookup, "bob", "", v::accept},
        {1, check, "bob", "pw2", v::ask},
        {1, db_wrong, "bob", "pw2", v::ask},
        {2, check, "bob", "pw2", v::refuse},
        {2, check, "bob", "pw3", v::ask},
        {2, check_stale, "bob", "pw2", v::ask},
        {9, check, "bob", "pw1", v::accept},
        {10, check, "bob", "pw1", v::ask},
        {10, lookup, "bob", "", v::ask},
        // Expired: in an outage, only the right password, up to 100 s on.
        {10, check_stale, "bob", "pw1", v::accept},
        {10, check_stale, "bob", "pw2", v::ask},
        {10, lookup_stale, "bob", "", v::accept},
        {109, check_stale, "bob", "pw1", v::accept},
        {110, check_stale, "bob", "pw1", v::ask},
        {110, lookup_stale, "bob", "", v::ask},
        // A failed password is refused for the negative TTL, no other.
        {0, db_wrong, "eve", "x", v::ask},
        {1, check, "eve", "x", v::refuse},
        {1, check, "eve", "y", v::ask},
        {1, lookup, "eve", "", v::ask},
        {1, check_stale, "eve", "x", v::ask},
        {5, check, "eve", "x", v::ask},
        // An unknown user: lookups refused, checks only for the password tried.
        {0, db_lookup_none, "zed", "", v::ask},
        {1, lookup, "zed", "", v::refuse},
        {1, check, "zed", "any", v::ask},
        {1, db_gone, "zed", "any", v::ask},
        {2, check, "zed", "any", v::refuse},
        {2, check, "zed", "other", v::ask},
        {6, lookup, "zed", "", v::ask},
        // The right password refused by the database later: gone at once,
        // stale answers included.
        {0, db_ok, "ann", "A", v::ask},
        {20, db_wrong, "ann", "A", v::ask},
        {20, check_stale, "ann", "A", v::ask},
        {20, check, "ann", "A", v::refuse},
        {20, lookup_stale, "ann", "", v::accept},
        // A user removed: the old password stops at once.
        {0, db_ok, "cat", "A", v::ask},
        {1, db_gone, "cat", "B", v::ask},
        {1, check, "cat", "A", v::ask},
        {1, check_stale, "cat", "A", v::ask},
        {1, lookup, "cat", "", v::refuse},
        {1, check, "cat", "B", v::refuse},
        // The last wrong password alone is kept; one that becomes right
        // leaves the refusals at once.
        {0, db_ok, "fay", "R", v::ask},
        {1, db_wrong, "fay", "W1", v::ask},
        {2, db_wrong, "fay", "W2", v::ask},
        {3, check, "fay", "W1", v::ask},
        {3, check, "fay", "W2", v::refuse},
        {3, check, "fay", "R", v::accept},
        {7, check, "fay", "W2", v::ask},
        {8, db_wrong, "fay", "W2", v::ask},
        {8, db_ok, "fay", "W2", v::ask},
        {9, check, "fay", "W2", v::accept},
        {9, check, "fay", "R", v::ask},
        // A lookup's record does not make a password right.
        {0, db_found, "dan", "", v::ask},
        {1, check, "dan", "pw", v::ask},
        {1, check_stale, "dan", "pw", v::ask},
        {1, lookup, "dan", "", v::accept},
        {2, db_ok, "dan", "pw", v::ask},
        {3, check, "dan", "pw", v::accept},
    };
    answer_cache cache({10, 5, 100, 100});
    for (const step& s : steps) {
        const password_fingerprint fp = cache.fingerprint(s.password);
        const cached_record record{s.user, std::nullopt, std::nullopt, std::nullopt};
        const cache_clock::time_point now = at(s.second);
        cache_answer answer;
        switch (s.what) {
        case check: {
            password_fingerprint made;
            answer = cache.check(s.user, s.password, now, made);
            EXPECT_EQ(made.bytes, fp.bytes);
            break;
        }
        case lookup:
            answer = cache.lookup(s.user, now);
            break;
        case check_stale:
            answer = cache.check_stale(s.user, fp, now);
            break;
        case lookup_stale:
            answer = cache.lookup_stale(s.user, now);
            break;
        case db_ok:
            cache.checked(s.user, record, fp, now);
            continue;
        case db_wrong:
            cache.check_refused(s.user, fp, false, now);
            continue;
        case db_gone:
            cache.check_refused(s.user, fp, true, now);
            continue;
        case db_found:
            cache.looked_up(s.user, record, now);
            continue;
        case db_lookup_none:
            cache.lookup_refused(s.user, now);
            continue;
        }
        EXPECT_EQ(answer.verdict, s.expected)
            << "second " << s.second << " step " << s.what << " " << s.user << " " << s.password;
        if (answer.verdict == v::accept) {
            EXPECT_EQ(answer.record.user, s.user);
        }
    }
}

TEST(AnswerCache, NoNegativeTtlKeepsNoRefusal) {
    answer_cache cache({10, 0, 100, 100});
    const password_fingerprint x = cache.fingerprint("x");
    cache.check_refused("eve", x, false, at(0));
    cache.check_refused("zed", x, true, at(0));
    cache.lookup_refused("ian", at(0));
    EXPECT_EQ(cache.size(), 0u);
    EXPECT_EQ(ask_check(cache, "eve", "x", at(1)).verdict, cache_verdict::ask);
    EXPECT_EQ(cache.lookup("ian", at(1)).verdict, cache_verdict::ask);
}

// quillmar -flush: the entries picked leave whole (right password, refusal
// and the stale answer of an outage alike), the rest stay and go on
// serving; a refusal tells whether the user was known to be missing.
TEST(AnswerCache, FlushedEntriesLeaveWhole) {
    answer_cache cache({10, 5, 100, 100});
    const password_fingerprint pw = cache.fingerprint("pw"), x = cache.fingerprint("x");
    for (const char* user : {"bob", "Bob", "ann"})
        cache.checked(user, {user, std::nullopt, std::nullopt, std::nullopt}, pw, at(0));
    cache.check_refused("bob", x, false, at(0));
    cache.check_refused("zed", x, true, at(0));
    EXPECT_FALSE(ask_check(cache, "bob", "x", at(1)).user_unknown);
    EXPECT_TRUE(ask_check(cache, "zed", "x", at(1)).user_unknown);
    EXPECT_EQ(cache.forget_where([](std::string_view key, std::optional<std::string_view>) {
        return key == "bob" || key == "Bob";
    }),
              2u);
    EXPECT_EQ(ask_check(cache, "bob", "pw", at(1)).verdict, cache_verdict::ask);
    EXPECT_EQ(ask_check(cache, "bob", "x", at(1)).verdict, cache_verdict::ask);
    EXPECT_EQ(cache.check_stale("Bob", pw, at(20)).verdict, cache_verdict::ask);
    EXPECT_EQ(ask_check(cache, "ann", "pw", at(1)).verdict, cache_verdict::accept);
    // Places freed are taken again without harm.
    cache.checked("cat", {"cat", std::nullopt, std::nullopt, std::nullopt}, pw, at(2));
    EXPECT_EQ(ask_check(cache, "cat", "pw", at(3)).verdict, cache_verdict::accept);
    EXPECT_EQ(cache.forget_where(nullptr), 3u);
    EXPECT_EQ(cache.size(), 0u);
    EXPECT_EQ(ask_check(cache, "ann", "pw", at(3)).verdict, cache_verdict::ask);
}

TEST(AnswerCache, RecordsComeBackAsGiven) {
    using opt = std::optional<std::string_view>;
    struct row {
        const char* key;
        cached_record record;
    };
    // Longer than an entry's own room: kept in a block of its own.
    const std::string drop = "/var/mail/" + std::string(150, 'd'), quota(80, '9');
    const row rows[] = {
        {"bob", {"bob", opt(), opt("/var/mail/bob"), opt("quota=\"100\""), opt("2001:db8::/32")}},
        {"long", {"long-stored", opt(), opt(drop), opt(quota), opt(drop)}},
        {"Bob", {"bob", opt("10.0.0.0"), opt(), opt("fwd=\"x@y\" quota=\"5\"")}},
        {"ann", {"ann", opt(""), opt(""), opt(""), opt("")}},
        {"carl@example.org", {"carl@example.org", opt(), opt(), opt(), opt("::1")}},
        {"", {"", opt(), opt("/d"), opt()}},
    };
    answer_cache cache({10, 5, 100, 100});
    const password_fingerprint fp = cache.fingerprint("pw");
    for (const row& r : rows) cache.checked(r.key, r.record, fp, at(0));
    for (const row& r : rows) {
        cache_answer a = ask_check(cache, r.key, "pw", at(1));
        ASSERT_EQ(a.verdict, cache_verdict::accept) << r.key;
        EXPECT_EQ(a.record.user, r.record.user) << r.key;
        EXPECT_EQ(a.record.mailmask, r.record.mailmask) << r.key;
        EXPECT_EQ(a.record.maildrop, r.record.maildrop) << r.key;
        EXPECT_EQ(a.record.options, r.record.options) << r.key;
        EXPECT_EQ(a.record.allow_nets, r.record.allow_nets) << r.key;
    }
    // A lookup replaces a record; the later one is the one given back.
    cache.looked_up("bob", {"bob", opt(), opt(), opt()}, at(2));
    cache_answer a = cache.lookup("bob", at(3));
    EXPECT_EQ(a.record.user, "bob");
    EXPECT_FALSE(a.record.maildrop || a.record.options || a.record.mailmask || a.record.allow_nets);
}

// Size 3: the least recently used leaves, a hit counts as a use; refusals
// have a room of their own (one place here) and push out only each other.
TEST(AnswerCache, LeastRecentlyUsedLeavesFirst) {
    struct row {
        std::vector<std::string> steps;  // "+u": right answer stored, "?u": hit, "-u": refusal
        std::vector<std::string> kept;
    };
    const row rows[] = {
        {{"+a", "+b", "+c", "+d"}, {"b", "c", "d"}},
        {{"+a", "+b", "+c", "?a", "+d"}, {"a", "c", "d"}},
        {{"+a", "+b", "+c", "-x"}, {"a", "b", "c", "x"}},
        {{"+a", "+b", "+c", "-x", "-y"}, {"a", "b", "c", "y"}},
        // A refusal that becomes an answer moves, and the other way round.
        {{"+a", "-x", "+b", "+c", "+x"}, {"b", "c", "x"}},
        {{"+a", "+b", "-x", "-b", "+c"}, {"a", "b", "c"}},
        {{"+a", "+b", "+c", "+a", "+d", "+e"}, {"a", "d", "e"}},
    };
    for (const row& r : rows) {
        answer_cache cache({10, 5, 3, 100});
        const password_fingerprint fp = cache.fingerprint("pw");
        for (const std::string& s : r.steps) {
            std::string user = s.substr(1);
            if (s[0] == '+') cache.checked(user, {user, {}, {}, {}}, fp, at(0));
            if (s[0] == '-') cache.check_refused(user, fp, true, at(0));
            if (s[0] == '?') {
                EXPECT_EQ(ask_check(cache, user, "pw", at(0)).verdict, cache_verdict::accept);
            }
        }
        EXPECT_EQ(cache.size(), r.kept.size());
        for (const char* user : {"a", "b", "c", "d", "e", "x", "y"}) {
            bool kept = std::find(r.kept.begin(), r.kept.end(), user) != r.kept.end();
            EXPECT_EQ(ask_check(cache, user, "pw", at(1)).verdict != cache_verdict::ask, kept)
                << r.steps.size() << " steps, user " << user;
        }
    }
}

// Random stores, hits and removals against a plain list in use order: the
// same users kept, the same one leaving first, however the buckets collide
// and the log of uses is rewritten.
TEST(AnswerCache, KeepsWhatAPlainListKeeps) {
    answer_cache cache({100, 0, 50, 100});
    const password_fingerprint fp = cache.fingerprint("pw");
    std::vector<std::string> order;  // least recently used first
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; ++i) {
        const std::string user = "u" + std::to_string(rng() % 200);
        auto at_user = std::find(order.begin(), order.end(), user);
        const bool kept = at_user != order.end();
        switch (rng() % 3) {
        case 0:  // stored
            cache.checked(user, {user, {}, {}, {}}, fp, at(0));
            if (kept)
                order.erase(at_user);
            else if (order.size() == 50)
                order.erase(order.begin());
            order.push_back(user);
            break;
        case 1:  // asked
            ASSERT_EQ(ask_check(cache, user, "pw", at(0)).verdict == cache_verdict::accept, kept)
                << i;
            if (kept) {
                order.erase(at_user);
                order.push_back(user);
            }
            break;
        case 2:  // gone from the table
            cache.lookup_refused(user, at(0));
            if (kept) order.erase(at_user);
            break;
        }
        ASSERT_EQ(cache.size(), order.size()) << i;
    }
}

// A flood of refusals for made-up names, as checks and as lookups: every
// kept login stays, and the refusals keep the newest tenth of the size.
TEST(AnswerCache, RefusalsPushOutOnlyRefusals) {
    answer_cache cache({10, 5, 100, 100});
    const password_fingerprint fp = cache.fingerprint("pw"), x = cache.fingerprint("x");
    for (int i = 0; i < 100; ++i) {
        const std::string user = "user" + std::to_string(i);
        cache.checked(user, {user, {}, {}, {}}, fp, at(0));
    }
    for (int i = 0; i < 3000; ++i) {
        const std::string name = "rnd" + std::to_string(i);
        if (i % 3 == 2)
            cache.lookup_refused(name, at(1));
        else
            cache.check_refused(name, x, i % 3 == 0, at(1));
    }
    EXPECT_EQ(cache.size(), 110u);
    int accepted = 0;
    for (int i = 0; i < 100; ++i)
        accepted += ask_check(cache, "user" + std::to_string(i), "pw", at(2)).verdict ==
                    cache_verdict::accept;
    EXPECT_EQ(accepted, 100);
    std::vector<int> refused, newest;
    for (int i = 0; i < 3000; ++i) {
        const std::string name = "rnd" + std::to_string(i);
        cache_answer a =
            i % 3 == 2 ? cache.lookup(name, at(2)) : ask_check(cache, name, "x", at(2));
        if (a.verdict == cache_verdict::refuse) refused.push_back(i);
        if (i >= 2990) newest.push_back(i);
    }
    EXPECT_EQ(refused, newest);
}

TEST(AnswerCache, ManyUsersKeepTheNewestSize) {
    answer_cache cache({10, 5, 20000, 100});
    const password_fingerprint fp = cache.fingerprint("pw");
    for (int i = 0; i < 50000; ++i) {
        std::string user = "user" + std::to_string(i) + "@example.org";
        cache.checked(user, {user, {}, {}, {}}, fp, at(0));
    }
    EXPECT_EQ(cache.size(), 20000u);
    for (int i : {0, 29999, 30000, 49999}) {
        std::string user = "user" + std::to_string(i) + "@example.org";
        EXPECT_EQ(ask_check(cache, user, "pw", at(1)).verdict == cache_verdict::accept, i >= 30000)
            << i;
    }
}

TEST(AnswerCache, FingerprintIsKeyedPerCache) {
    answer_cache one({10, 5, 10, 100}), two({10, 5, 10, 100});
    const std::string password = "correct horse";
    password_fingerprint a = one.fingerprint(password);
    EXPECT_EQ(a.bytes, one.fingerprint(password).bytes);
    EXPECT_NE(a.bytes, one.fingerprint("correct horsE").bytes);
    EXPECT_NE(a.bytes, two.fingerprint(password).bytes);
    std::array<unsigned char, 32> plain{};
    crypto_generichash(plain.data(), plain.size(),
                       reinterpret_cast<const unsigned char*>(password.data()), password.size(),
                       nullptr, 0);
    EXPECT_NE(a.bytes, plain);
}

TEST(AnswerCache, OutageWritesTwoLines) {
    log_capture log;
    answer_cache cache({10, 5, 10, 100, 30});
    const password_fingerprint fp = cache.fingerprint("pw");
    cache.checked("bob", {"bob", {}, {}, {}}, fp, at(0));
    cache.database_answered();
    EXPECT_EQ(cache.check_stale("ann", fp, at(20)).verdict, cache_verdict::ask);
    EXPECT_TRUE(log.messages().empty());
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(cache.check_stale("bob", fp, at(20 + i)).verdict, cache_verdict::accept);
    EXPECT_EQ(cache.lookup_stale("bob", at(25)).verdict, cache_verdict::accept);
    // The database rests for the retry interval after a failure, until it
    // answers again.
    EXPECT_FALSE(cache.database_resting(at(20)));
    cache.database_failed(at(20));
    EXPECT_TRUE(cache.database_resting(at(49)));
    EXPECT_FALSE(cache.database_resting(at(50)));
    cache.database_failed(at(51));
    cache.database_answered();
    EXPECT_FALSE(cache.database_resting(at(52)));
    cache.database_answered();
    EXPECT_EQ(log.messages(),
              (std::vector<std::string>{
                  "ERROR: Cache: the database fails; known users are answered from expired entries",
                  "ERROR: Cache: the database answers again, after 4 answers from expired "
                  "entries"}));
}

}  // namespace
