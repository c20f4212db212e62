// The worker pool: N worker processes, each running the back end with its
// own connection and cache, fed jobs over their socket pairs. A user name
// always goes to the same slot, so that its checks meet one cache and keep
// their order. The pool starts and replaces the workers (one by one after
// a reload), kills one that hangs, and answers what a lost worker held as
// temporary failures. It knows nothing of the clients' protocols: it takes
// requests through submit() and hands each verdict back to its asker.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "module/auth_module.h"
#include "service/event_loop.h"
#include "service/service_settings.h"
#include "service/worker_frames.h"

// One request on its way to a worker and back: what the worker is asked,
// and the number of whoever asked, which the pool only hands back. An
// asker derives from it to keep what its answer needs.
struct pool_request {
    pool_request() = default;
    pool_request(const pool_request&) = delete;
    pool_request& operator=(const pool_request&) = delete;
    virtual ~pool_request();

    std::uint64_t asker = 0;
    job_kind kind = job_kind::check;
    std::string user, password;  // a lookup's key is its user
    std::optional<std::string> address;

    // The pool's own: the job's number at its worker, and when it was sent.
    std::uint32_t job_id = 0;
    std::chrono::steady_clock::time_point sent;
};
using pool_request_ptr = std::unique_ptr<pool_request>;

// What the pool needs of those who hand it requests.
class pool_asker {
public:
    // The verdict on `r` (`answer`: the worker's, absent when the pool
    // answers itself). `resume` is false when the verdict comes from inside
    // submit(), so that the asker does not read on from inside its reading.
    virtual void answered(pool_request& r, check_verdict verdict, const worker_answer* answer,
                          bool resume) = 0;
    // False once nobody waits for `r`: it is dropped unsent.
    virtual bool still_asked(const pool_request& r) const = 0;

protected:
    ~pool_asker() = default;
};

// In a child: the signals as a plain process has them.
void plain_signals();

class worker_pool {
public:
    // `settings` stays the caller's: the pool reads it again on reload().
    worker_pool(event_loop& loop, auth_module_table& table, const service_settings& settings)
        : loop_(loop), table_(table), settings_(settings) {}
    void answer_to(pool_asker& asker) { asker_ = &asker; }

    // A worker for each of the settings' slots.
    void start();
    // The request goes to its name's worker, or is answered at once as a
    // temporary failure when that worker's queue is full.
    void submit(pool_request_ptr r);
    // An event on a worker's socket (jobs may leave, or it closed), or on
    // its bell (answers wait on the socket).
    void on_event(std::uint64_t number, std::uint32_t events);
    void on_bell(std::uint64_t number, std::uint32_t events);
    // The answers of a worker whose bell has been silent a while with jobs
    // in hand: those made just before a job that lingers; and how long the
    // loop may wait before it looks again (at most `most_ms`).
    void read_quiet(std::chrono::steady_clock::time_point now);
    int wait_ms(std::chrono::steady_clock::time_point now, int most_ms) const;
    // A child the process reaped: one of the workers, or one retired.
    void reaped(pid_t pid, int status);
    // Workers due to start again; workers that hang.
    void tick(std::chrono::steady_clock::time_point now);
    // New settings: the slots as many as they say, each worker replaced.
    void reload();
    // No new workers from now on.
    void drain() { draining_ = true; }
    bool idle() const;
    // Every slot's worker holds a full window with as much again waiting
    // for it, and answered within the last few milliseconds: more requests
    // now would only wait longer. A worker held up is no backlog: then the
    // requests are read, and those past max_queue answered at once.
    bool backlogged(std::chrono::steady_clock::time_point now) const;
    // While writes are held, the jobs handed to a worker wait in its
    // buffer and leave together, in one write, when the last hold ends:
    // the loop holds them over one turn, so that a turn's jobs for a
    // worker cost one write and one wake-up of the worker, not one each.
    void hold_writes() { ++holds_; }
    void release_writes();
    // Everything queued or held answered as a temporary failure.
    void fail_all();
    // The workers their end of input, SIGKILL after 10 s; all reaped.
    void finish();

private:
    struct worker_process {
        std::uint64_t number = 0;
        pid_t pid = -1;
        int fd = -1;
        int bell = -1;  // read end of the worker's bell, -1 once it closed
        std::size_t slot = 0;
        unsigned generation = 0;
        std::string in, out;
        std::deque<pool_request_ptr> in_flight;
        bool ready = false;
        bool retiring = false;  // takes no new jobs; ends once those it holds are answered
        bool write_closed = false;
        std::uint32_t next_job = 1;
        std::uint32_t events = 0;
        std::chrono::steady_clock::time_point last_answer, last_read;
    };
    enum class read_result { open, closed, gone };
    struct worker_slot {
        std::deque<pool_request_ptr> queue;
        worker_process* current = nullptr;
        worker_process* retiring = nullptr;
        bool restart_due = false;
        std::chrono::steady_clock::time_point restart_at, last_start;
    };

    void spawn(std::size_t slot);
    void pump(std::size_t slot);
    void flush_worker(worker_process& w);
    void update_worker(worker_process& w);
    read_result read_answers(worker_process& w);
    // The answers read, and the worker ended if its socket has.
    void take_answers(worker_process& w);
    // When a worker with jobs in hand, its bell silent, is read anyway.
    static std::chrono::steady_clock::time_point bell_overdue(const worker_process& w);
    void close_bell(worker_process& w);
    void worker_ended(worker_process& w, const std::string& why);
    void retire_if_idle(worker_process& w);
    void advance_replacement();
    void resize_slots(std::size_t count);
    std::size_t held_for(std::size_t slot) const;
    void fail(pool_request& r, bool resume = true);

    event_loop& loop_;
    auth_module_table& table_;
    const service_settings& settings_;
    pool_asker* asker_ = nullptr;
    std::unordered_map<std::uint64_t, std::unique_ptr<worker_process>> workers_;
    std::deque<worker_slot> slots_;  // a deque: a slot stays where it is when more are added
    std::vector<pid_t> exited_;      // workers closed, not yet reaped
    std::uint64_t next_worker_ = 1;
    unsigned generation_ = 1;
    std::size_t replace_cursor_ = static_cast<std::size_t>(-1);
    bool draining_ = false;
    unsigned holds_ = 0;
    std::vector<std::uint64_t> unwritten_;  // workers with jobs waiting for the holds' end
};

// Holds a pool's writes for a scope.
class pool_writes_held {
public:
    explicit pool_writes_held(worker_pool& pool) : pool_(pool) { pool_.hold_writes(); }
    pool_writes_held(const pool_writes_held&) = delete;
    pool_writes_held& operator=(const pool_writes_held&) = delete;
    ~pool_writes_held() { pool_.release_writes(); }

private:
    worker_pool& pool_;
};
