// The worker pool as an asker that is no protocol meets it: real worker
// processes over their socket pairs, a back end of one rule, and verdicts
// that must come back in the order one name asked, at once when the queue
// is full, and as temporary failures when the worker holding them dies.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "service/worker_pool.h"

namespace {

// "right" is found, "die" ends the worker in the middle of its check,
// "slow" is refused after a second, anything else at once.
auth_result* check_rule(command_words& words) {
    static auth_result result;
    if (words[2] == std::string("die")) ::raise(SIGKILL);
    if (words[2] == std::string("slow")) std::this_thread::sleep_for(std::chrono::seconds(1));
    if (words[2] != std::string("right")) return nullptr;
    result.user = *words[1];
    return &result;
}

struct verdict_seen {
    std::uint64_t asker;
    check_verdict verdict;
    bool resume;
    bool operator==(const verdict_seen& o) const {
        return asker == o.asker && verdict == o.verdict && resume == o.resume;
    }
};

class recording_asker : public pool_asker {
public:
    void answered(pool_request& r, check_verdict verdict, const worker_answer*,
                  bool resume) override {
        seen.push_back({r.asker, verdict, resume});
    }
    bool still_asked(const pool_request& r) const override { return !gone.count(r.asker); }
    std::vector<verdict_seen> seen;
    std::set<std::uint64_t> gone;
};

struct pool_case {
    const char* what;
    std::size_t max_queue;
    // One request each for the same user, asker numbers 1, 2, ...; "gone"
    // is a request whose asker left before it could be sent.
    std::vector<std::string> passwords;
    std::vector<verdict_seen> expected;
};

using v = check_verdict;

// The supervisor's loop for the pool alone: until `count` verdicts are
// seen or `most` has passed.
void run_until(event_loop& loop, worker_pool& pool, const recording_asker& asker, std::size_t count,
               std::chrono::milliseconds most) {
    const auto until = std::chrono::steady_clock::now() + most;
    while (asker.seen.size() < count && std::chrono::steady_clock::now() < until) {
        epoll_event events[8];
        const int n = loop.wait(events, 8, pool.wait_ms(std::chrono::steady_clock::now(), 50));
        for (int i = 0; i < n; ++i) {
            const std::uint64_t number = event_loop::number_of(events[i].data.u64);
            if (event_loop::tag_of(events[i].data.u64) == watch_tag::worker)
                pool.on_event(number, events[i].events);
            if (event_loop::tag_of(events[i].data.u64) == watch_tag::worker_bell)
                pool.on_bell(number, events[i].events);
        }
        pool.read_quiet(std::chrono::steady_clock::now());
    }
}

// A pool of one worker answering by check_rule, started, and its loop;
// ended (drained, reaped) when it goes.
struct one_worker {
    explicit one_worker(std::size_t max_queue = 1024) {
        table.names = auth_command_names;
        table.check = check_rule;
        settings.workers = 1;
        settings.max_queue = max_queue;
        opened = loop.open();
        pool.answer_to(asker);
        pool.start();
    }
    ~one_worker() {
        pool.drain();
        pool.fail_all();
        pool.finish();
    }
    void submit(std::uint64_t asker_number, const std::string& password) {
        auto r = std::make_unique<pool_request>();
        r->asker = asker_number;
        r->user = "alice@example.org";
        r->password = password;
        pool.submit(std::move(r));
    }
    void run(std::size_t count, std::chrono::milliseconds most) {
        run_until(loop, pool, asker, count, most);
    }

    auth_module_table table{};
    service_settings settings;
    event_loop loop;
    bool opened = false;
    recording_asker asker;
    worker_pool pool{loop, table, settings};
};

TEST(WorkerPool, VerdictsReachTheAsker) {
    const pool_case cases[] = {
        {"in the order asked",
         100,
         {"right", "wrong", "right"},
         {{1, v::found, true}, {2, v::refused, true}, {3, v::found, true}}},
        {"a request nobody waits for is dropped unsent",
         100,
         {"right", "gone", "wrong"},
         {{1, v::found, true}, {3, v::refused, true}}},
        {"a full queue answers at once, from inside submit",
         2,
         {"right", "right", "right", "wrong"},
         {{3, v::unavailable, false},
          {4, v::unavailable, false},
          {1, v::found, true},
          {2, v::found, true}}},
        {"a worker lost mid-check fails what it held",
         100,
         {"right", "die", "right", "wrong"},
         {{1, v::found, true},
          {2, v::unavailable, true},
          {3, v::unavailable, true},
          {4, v::unavailable, true}}},
    };
    for (const pool_case& c : cases) {
        SCOPED_TRACE(c.what);
        one_worker w(c.max_queue);
        ASSERT_TRUE(w.opened);
        // Handed in before the worker is ready: all wait in its queue.
        for (std::size_t i = 0; i < c.passwords.size(); ++i) {
            if (c.passwords[i] == "gone") w.asker.gone.insert(i + 1);
            w.submit(i + 1, c.passwords[i]);
        }
        w.run(c.expected.size(), std::chrono::seconds(10));
        EXPECT_TRUE(w.asker.seen == c.expected) << w.asker.seen.size() << " verdicts seen";
        EXPECT_TRUE(w.pool.idle());
    }
}

// Jobs handed in while writes are held (the loop's turn, with holds
// nested inside it) stay with the supervisor until the outermost hold
// ends, and then all leave, in order.
TEST(WorkerPool, HeldWritesLeaveTogether) {
    one_worker w;
    ASSERT_TRUE(w.opened);
    w.submit(1, "right");  // answered once the worker is ready
    w.run(1, std::chrono::seconds(10));
    ASSERT_EQ(w.asker.seen.size(), 1u);
    {
        pool_writes_held turn(w.pool);
        w.submit(2, "wrong");
        {
            pool_writes_held inner(w.pool);
            w.submit(3, "right");
        }
        w.submit(4, "right");
        w.run(2, std::chrono::milliseconds(300));
        EXPECT_EQ(w.asker.seen.size(), 1u) << "a job left while writes were held";
    }
    w.run(4, std::chrono::seconds(10));
    const std::vector<verdict_seen> expected = {
        {1, v::found, true}, {2, v::refused, true}, {3, v::found, true}, {4, v::found, true}};
    EXPECT_TRUE(w.asker.seen == expected) << w.asker.seen.size() << " verdicts seen";
    EXPECT_TRUE(w.pool.idle());
}

// A worker announces its answers a few at a time; one made just before a
// job that lingers is read anyway once the worker has been silent a while,
// not a second later with the lingering job's.
TEST(WorkerPool, AnswerBeforeALingeringJobIsNotHeldBack) {
    one_worker w;
    ASSERT_TRUE(w.opened);
    w.submit(1, "right");
    w.submit(2, "slow");
    w.run(1, std::chrono::milliseconds(500));
    const std::vector<verdict_seen> first = {{1, v::found, true}};
    EXPECT_TRUE(w.asker.seen == first) << w.asker.seen.size() << " verdicts seen within 0.5 s";
    w.run(2, std::chrono::seconds(10));
    EXPECT_EQ(w.asker.seen.size(), 2u);
    EXPECT_TRUE(w.pool.idle());
}

}  // namespace
