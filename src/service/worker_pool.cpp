// The pool's workers live in the supervisor's epoll loop like its clients:
// nothing here waits, except at the very end for the workers to exit.
#include "service/worker_pool.h"

#include <fcntl.h>
#include <signal.h>
#include <sodium.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "config/ini.h"
#include "config/log.h"
#include "service/wipe.h"
#include "service/worker.h"

namespace {

using steady = std::chrono::steady_clock;

// Jobs a worker holds at once: enough that it never waits for the
// supervisor between two, few enough that a worker that dies takes few
// answers with it.
constexpr std::size_t worker_window = 16;
// A worker's window is topped up only once it holds no more than this: a
// busy worker then gets its jobs several to a write, not one for each
// answer it gives back, and still never runs dry while they travel.
constexpr std::size_t worker_refill_at = worker_window / 2;
// A worker with a backlog that answered within this is busy, not held up.
constexpr auto backlog_flowing = std::chrono::milliseconds(20);
// A worker's socket is read without waiting for its bell once the bell has
// been silent this long with jobs in hand: the answers made just before a
// job that lingers (a database that stalls) are not held back by it.
constexpr auto bell_silence = std::chrono::milliseconds(10);
// A job that a worker holds longer than this means a worker that hangs
// past every deadline of the back end: it is killed and started again.
constexpr auto worker_hang_limit = std::chrono::seconds(120);

// FNV-1a: a stable spread of names over the workers.
std::uint64_t name_hash(const std::string& name) {
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : name) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

void close_inherited_from(int first) {
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, first, ~0u, 0) == 0) return;
#endif
    rlimit limit{};
    int last = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                   ? static_cast<int>(limit.rlim_cur)
                   : 65536;
    for (int fd = first; fd < last; ++fd) ::close(fd);
}

}  // namespace

pool_request::~pool_request() {
    if (!password.empty()) sodium_memzero(&password[0], password.size());
}

void plain_signals() {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGCHLD, SIG_DFL);
}

void worker_pool::start() {
    slots_.resize(settings_.workers);
    for (std::size_t i = 0; i < slots_.size(); ++i) spawn(i);
}

void worker_pool::fail(pool_request& r, bool resume) {
    asker_->answered(r, check_verdict::unavailable, nullptr, resume);
}

// A worker is a child forked from the supervisor after the ini file is
// read: it has the back end's settings as they were checked, runs the
// back end's start itself, and keeps none of the supervisor's descriptors.
void worker_pool::spawn(std::size_t slot) {
    int pair[2];
    // A start that fails for want of a descriptor or a process is tried
    // again in a second.
    const auto retry_later = [&](const char* what, std::initializer_list<int> opened) {
        error_log("Service: %s (%s): tried again in a second", what, std::strerror(errno));
        for (int fd : opened) ::close(fd);
        slots_[slot].restart_due = true;
        slots_[slot].restart_at = steady::now() + std::chrono::seconds(1);
    };
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        retry_later("no socket pair for a worker", {});
        return;
    }
    // The bell: the worker's answers go on its socket, which the loop does
    // not watch for them; a byte here says they are there.
    int bell[2];
    if (::pipe2(bell, O_CLOEXEC | O_NONBLOCK) != 0) {
        retry_later("no pipe for a worker", {pair[0], pair[1]});
        return;
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        retry_later("cannot start a worker", {pair[0], pair[1], bell[0], bell[1]});
        return;
    }
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        plain_signals();
        // A signal from the terminal or a reload is the supervisor's.
        std::signal(SIGINT, SIG_IGN);
        std::signal(SIGHUP, SIG_IGN);
        // Moved clear of 3 and 4 first, so that neither takes the other's place.
        const int job_fd = ::fcntl(pair[1], F_DUPFD, 10), bell_fd = ::fcntl(bell[1], F_DUPFD, 10);
        if (job_fd < 0 || bell_fd < 0 || ::dup2(job_fd, 3) < 0 || ::dup2(bell_fd, 4) < 0)
            ::_exit(1);
        close_inherited_from(5);
        run_worker(table_, 3, 4);
    }
    ::close(pair[1]);
    ::close(bell[1]);
    auto w = std::make_unique<worker_process>();
    w->number = next_worker_++;
    w->pid = pid;
    w->fd = pair[0];
    w->slot = slot;
    w->generation = generation_;
    w->bell = bell[0];
    ::fcntl(w->fd, F_SETFL, ::fcntl(w->fd, F_GETFL) | O_NONBLOCK);
    // Its end (a hang-up) is seen whatever is asked; its answers are read
    // when the bell rings.
    w->events = 0;
    loop_.watch(w->fd, w->events, watch_tag::worker, w->number);
    loop_.watch(w->bell, EPOLLIN, watch_tag::worker_bell, w->number);
    worker_slot& s = slots_[slot];
    s.current = w.get();
    s.restart_due = false;
    s.last_start = steady::now();
    debug_log("Service: worker %ld started for slot %zu", static_cast<long>(pid), slot);
    workers_[w->number] = std::move(w);
}

std::size_t worker_pool::held_for(std::size_t slot) const {
    const worker_slot& s = slots_[slot];
    return s.queue.size() + (s.current ? s.current->in_flight.size() : 0);
}

// The worker of a name: the hash of the name as the back end looks it up,
// the default domain attached, so that "alice" and "alice@example.org"
// meet the same worker's cache and keep their order.
void worker_pool::submit(pool_request_ptr r) {
    std::string key = r->user;
    if (domain && key.find('@') == std::string::npos) key += "@" + *domain;
    const std::size_t slot = static_cast<std::size_t>(name_hash(key) % slots_.size());
    if (held_for(slot) >= settings_.max_queue) {
        error_log(
            "Service: the queue of worker %zu is full (max_queue %zu): answered as a "
            "temporary failure",
            slot, settings_.max_queue);
        fail(*r, false);
        return;
    }
    slots_[slot].queue.push_back(std::move(r));
    pump(slot);
}

bool worker_pool::backlogged(steady::time_point now) const {
    if (slots_.empty()) return false;
    for (const worker_slot& s : slots_)
        if (!s.current || !s.current->ready || s.queue.size() < worker_window ||
            now - s.current->last_answer > backlog_flowing)
            return false;
    return true;
}

void worker_pool::pump(std::size_t slot) {
    if (slot >= slots_.size()) return;
    worker_slot& s = slots_[slot];
    worker_process* w = s.current;
    if (!w || !w->ready) return;
    // A replaced worker's last answers leave before its successor's first.
    if (s.retiring && !s.retiring->in_flight.empty()) return;
    if (w->in_flight.size() > worker_refill_at) return;
    bool sent = false;
    const steady::time_point now = steady::now();
    while (!s.queue.empty() && w->in_flight.size() < worker_window) {
        pool_request_ptr r = std::move(s.queue.front());
        s.queue.pop_front();
        if (!asker_->still_asked(*r)) continue;
        const std::uint32_t id = w->next_job++;
        if (w->next_job == 0) w->next_job = 1;
        append_job_frame(w->out, id, r->kind, r->user, r->password, r->address);
        r->job_id = id;
        r->sent = now;
        w->in_flight.push_back(std::move(r));
        sent = true;
    }
    if (!sent) return;
    if (holds_ == 0) {
        flush_worker(*w);
    } else if (std::find(unwritten_.begin(), unwritten_.end(), w->number) == unwritten_.end()) {
        unwritten_.push_back(w->number);
    }
}

void worker_pool::release_writes() {
    if (holds_ > 0 && --holds_ > 0) return;
    // A flush may end a worker, whose requests then go to its successor:
    // taken by number, so that one gone is passed over.
    std::vector<std::uint64_t> due;
    due.swap(unwritten_);
    for (std::uint64_t number : due) {
        auto found = workers_.find(number);
        if (found != workers_.end()) flush_worker(*found->second);
    }
    if (unwritten_.empty()) {
        due.clear();
        unwritten_.swap(due);  // its room kept for the next turn
    }
}

void worker_pool::flush_worker(worker_process& w) {
    while (!w.out.empty()) {
        const ssize_t n = ::send(w.fd, w.out.data(), w.out.size(), MSG_NOSIGNAL);
        if (n > 0) {
            wipe_bytes(w.out, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        worker_ended(w, "its socket cannot be written");
        return;
    }
    update_worker(w);
}

void worker_pool::update_worker(worker_process& w) {
    const std::uint32_t wanted = w.out.empty() ? 0u : static_cast<std::uint32_t>(EPOLLOUT);
    if (wanted == w.events) return;
    w.events = wanted;
    loop_.change(w.fd, wanted, watch_tag::worker, w.number);
}

void worker_pool::on_event(std::uint64_t number, std::uint32_t events) {
    auto found = workers_.find(number);
    if (found == workers_.end()) return;
    worker_process& w = *found->second;
    // The jobs that the answers make room for leave together.
    pool_writes_held held(*this);
    if (events & EPOLLOUT) {
        flush_worker(w);
        if (!workers_.count(number)) return;
    }
    if (!(events & (EPOLLIN | EPOLLHUP | EPOLLERR))) return;
    take_answers(w);
}

void worker_pool::on_bell(std::uint64_t number, std::uint32_t events) {
    auto found = workers_.find(number);
    if (found == workers_.end()) return;
    worker_process& w = *found->second;
    char rings[256];
    ssize_t n;
    while ((n = ::read(w.bell, rings, sizeof rings)) == static_cast<ssize_t>(sizeof rings) ||
           (n < 0 && errno == EINTR)) {
    }
    // A bell closed is a worker gone: its socket says the rest.
    if (n == 0 || (events & (EPOLLHUP | EPOLLERR))) close_bell(w);
    pool_writes_held held(*this);
    take_answers(w);
}

void worker_pool::take_answers(worker_process& w) {
    if (read_answers(w) == read_result::closed) worker_ended(w, "it closed its socket");
}

steady::time_point worker_pool::bell_overdue(const worker_process& w) {
    return std::max(w.last_read, w.in_flight.front()->sent) + bell_silence;
}

void worker_pool::close_bell(worker_process& w) {
    if (w.bell < 0) return;
    loop_.forget(w.bell);
    ::close(w.bell);
    w.bell = -1;
}

// Everything the worker has written: each answer handed to its asker, the
// window topped up. `gone` when the worker was ended meanwhile (it broke
// its protocol), `closed` when its socket reached its end.
worker_pool::read_result worker_pool::read_answers(worker_process& w) {
    const std::uint64_t number = w.number;
    w.last_read = steady::now();
    char chunk[16384];
    bool ended = false;
    for (;;) {
        const ssize_t n = ::recv(w.fd, chunk, sizeof chunk, 0);
        if (n > 0) {
            w.in.append(chunk, static_cast<std::size_t>(n));
            if (static_cast<std::size_t>(n) < sizeof chunk) break;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        ended = true;
        break;
    }
    for (;;) {
        std::string_view body;
        std::size_t used = 0;
        const frame_status status = take_frame(w.in, body, used);
        if (status == frame_status::incomplete) break;
        std::optional<worker_answer> answer;
        if (status == frame_status::complete && is_ready(body)) {
            w.in.erase(0, used);
            w.ready = true;
            debug_log("Service: worker %ld is ready", static_cast<long>(w.pid));
            pump(w.slot);
            advance_replacement();
            if (!workers_.count(number)) return read_result::gone;
            continue;
        }
        if (status == frame_status::complete) answer = read_answer(body);
        if (!answer || w.in_flight.empty() || w.in_flight.front()->job_id != answer->id) {
            worker_ended(w, "it sent what is no answer to its next job");
            return read_result::gone;
        }
        w.in.erase(0, used);
        w.last_answer = w.last_read;
        pool_request_ptr r = std::move(w.in_flight.front());
        w.in_flight.pop_front();
        asker_->answered(*r, answer->verdict, &*answer, true);
        if (!workers_.count(number)) return read_result::gone;
        if (w.retiring)
            retire_if_idle(w);
        else if (w.pid > 0)  // a worker reaped gets no more jobs
            pump(w.slot);
        if (!workers_.count(number)) return read_result::gone;
    }
    return ended ? read_result::closed : read_result::open;
}

void worker_pool::read_quiet(steady::time_point now) {
    std::vector<std::uint64_t> due;
    for (const auto& [number, w] : workers_)
        if (!w->in_flight.empty() && now >= bell_overdue(*w)) due.push_back(number);
    if (due.empty()) return;
    pool_writes_held held(*this);
    for (std::uint64_t number : due) {
        auto found = workers_.find(number);
        if (found != workers_.end()) take_answers(*found->second);
    }
}

int worker_pool::wait_ms(steady::time_point now, int most_ms) const {
    if (most_ms <= 0) return most_ms;
    steady::duration soonest = std::chrono::milliseconds(most_ms);
    for (const auto& [number, w] : workers_) {
        if (!w->in_flight.empty()) soonest = std::min(soonest, bell_overdue(*w) - now);
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(soonest).count();
    return static_cast<int>(std::max<decltype(ms)>(ms, 1));
}

void worker_pool::retire_if_idle(worker_process& w) {
    if (!w.in_flight.empty() || w.write_closed) return;
    // The worker reads the end of its input, cleans up and exits.
    w.write_closed = true;
    ::shutdown(w.fd, SHUT_WR);
    if (w.slot < slots_.size() && slots_[w.slot].retiring == &w) {
        slots_[w.slot].retiring = nullptr;
        pump(w.slot);
    }
}

// A worker that died, hangs or broke its protocol: what it held is
// answered as a temporary failure, and its slot gets a new worker, at once
// unless the slot's last one started less than a second ago. A retired
// worker that closes its socket has ended as it should.
void worker_pool::worker_ended(worker_process& w, const std::string& why) {
    const bool finished = w.retiring && w.write_closed && w.in_flight.empty();
    if (!finished && w.pid > 0) {
        ::kill(w.pid, SIGKILL);
        int status = 0;
        const bool reaped = ::waitpid(w.pid, &status, 0) == w.pid;
        std::string how = why;
        if (reaped && WIFSIGNALED(status))
            how += ", killed by signal " + std::to_string(WTERMSIG(status));
        else if (reaped)
            how += ", exit status " + std::to_string(WEXITSTATUS(status));
        w.pid = -1;
        error_log(
            "Service: worker ended (%s): %zu requests it held answered as temporary "
            "failures",
            how.c_str(), w.in_flight.size());
    } else if (!finished) {
        error_log(
            "Service: worker ended (%s): %zu requests it held answered as temporary "
            "failures",
            why.c_str(), w.in_flight.size());
    }
    loop_.forget(w.fd);
    ::close(w.fd);
    close_bell(w);
    // A retired worker still running is reaped when its SIGCHLD comes.
    if (w.pid > 0) exited_.push_back(w.pid);
    std::deque<pool_request_ptr> held = std::move(w.in_flight);
    const std::size_t slot = w.slot;
    const bool was_current = slot < slots_.size() && slots_[slot].current == &w;
    if (slot < slots_.size() && slots_[slot].retiring == &w) slots_[slot].retiring = nullptr;
    if (was_current) {
        worker_slot& s = slots_[slot];
        s.current = nullptr;
        s.restart_due = true;
        const steady::time_point soonest = s.last_start + std::chrono::seconds(1);
        s.restart_at = std::max(steady::now(), soonest);
    }
    workers_.erase(w.number);
    for (pool_request_ptr& r : held) fail(*r);
    if (was_current && draining_) {
        // No new worker while the service ends: its queue is answered now.
        std::deque<pool_request_ptr> queued = std::move(slots_[slot].queue);
        for (pool_request_ptr& r : queued) fail(*r);
    }
    if (was_current && !draining_ && steady::now() >= slots_[slot].restart_at) spawn(slot);
    if (slot < slots_.size()) pump(slot);
    advance_replacement();
}

void worker_pool::reaped(pid_t pid, int status) {
    exited_.erase(std::remove(exited_.begin(), exited_.end(), pid), exited_.end());
    worker_process* died = nullptr;
    for (auto& [number, w] : workers_)
        if (w->pid == pid) died = w.get();
    if (!died) return;
    died->pid = -1;
    // The answers it wrote before it died are answers still.
    const read_result left = read_answers(*died);
    if (left == read_result::gone) return;
    std::string how = WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                          : "exit status " + std::to_string(WEXITSTATUS(status));
    worker_ended(*died, how);
}

void worker_pool::tick(steady::time_point now) {
    for (std::size_t i = 0; i < slots_.size(); ++i)
        if (slots_[i].restart_due && !slots_[i].current && !draining_ &&
            now >= slots_[i].restart_at)
            spawn(i);
    // Taken by number: reading what a worker has written may end it.
    std::vector<std::uint64_t> hung;
    for (auto& [number, w] : workers_)
        if (!w->in_flight.empty() && now - w->in_flight.front()->sent > worker_hang_limit)
            hung.push_back(number);
    for (std::uint64_t number : hung) {
        auto found = workers_.find(number);
        if (found == workers_.end()) continue;
        worker_process& w = *found->second;
        if (read_answers(w) == read_result::gone) continue;
        if (w.in_flight.empty() || now - w.in_flight.front()->sent <= worker_hang_limit) continue;
        worker_ended(w, "it held a request for more than " +
                            std::to_string(worker_hang_limit.count()) + " s");
    }
}

void worker_pool::reload() {
    ++generation_;
    resize_slots(settings_.workers);
    debug_log("Service: reload: new settings read, %u workers, replaced one by one",
              settings_.workers);
    replace_cursor_ = 0;
    advance_replacement();
}

// A change of the worker count moves the names of the slots that go to
// the others: their queued requests are handed out again, and for the
// moment of the change one user's requests may pass each other.
void worker_pool::resize_slots(std::size_t count) {
    if (count == slots_.size()) return;
    std::deque<pool_request_ptr> moved;
    for (std::size_t i = count; i < slots_.size(); ++i) {
        worker_slot& s = slots_[i];
        for (pool_request_ptr& r : s.queue) moved.push_back(std::move(r));
        for (worker_process* w : {s.current, s.retiring}) {
            if (!w) continue;
            w->retiring = true;
            w->slot = static_cast<std::size_t>(-1);
            retire_if_idle(*w);
        }
    }
    const std::size_t before = slots_.size();
    slots_.resize(count);
    for (std::size_t i = before; i < count; ++i) spawn(i);
    for (pool_request_ptr& r : moved)
        if (asker_->still_asked(*r)) submit(std::move(r));
}

// One slot at a time: its worker is replaced by one of the new settings,
// and the next slot's only once the new worker is ready, so that all but
// one worker serve throughout.
void worker_pool::advance_replacement() {
    while (replace_cursor_ < slots_.size() && !draining_) {
        worker_slot& s = slots_[replace_cursor_];
        worker_process* w = s.current;
        if (!w) {
            if (!s.restart_due) spawn(replace_cursor_);
            return;
        }
        if (w->generation == generation_) {
            if (!w->ready) return;
            ++replace_cursor_;
            continue;
        }
        if (s.retiring) return;
        s.retiring = w;
        w->retiring = true;
        s.current = nullptr;
        spawn(replace_cursor_);
        retire_if_idle(*w);
        return;
    }
}

bool worker_pool::idle() const {
    for (const worker_slot& s : slots_)
        if (!s.queue.empty()) return false;
    for (const auto& [number, w] : workers_)
        if (!w->in_flight.empty()) return false;
    return true;
}

void worker_pool::fail_all() {
    for (worker_slot& s : slots_) {
        std::deque<pool_request_ptr> queued = std::move(s.queue);
        for (pool_request_ptr& r : queued) fail(*r);
    }
    for (auto& [number, w] : workers_) {
        std::deque<pool_request_ptr> held = std::move(w->in_flight);
        for (pool_request_ptr& r : held) fail(*r);
    }
}

void worker_pool::finish() {
    for (auto& [number, w] : workers_) ::shutdown(w->fd, SHUT_WR);
    const steady::time_point until = steady::now() + std::chrono::seconds(10);
    for (auto& [number, w] : workers_) {
        while (w->pid > 0) {
            int status = 0;
            const pid_t ended = ::waitpid(w->pid, &status, WNOHANG);
            if (ended == w->pid || ended < 0) break;
            if (steady::now() >= until) {
                ::kill(w->pid, SIGKILL);
                ::waitpid(w->pid, &status, 0);
                break;
            }
            ::usleep(10000);
        }
        ::close(w->fd);
        if (w->bell >= 0) ::close(w->bell);
    }
    workers_.clear();
    for (pid_t pid : exited_) {
        int status = 0;
        const steady::time_point until_reaped = steady::now() + std::chrono::seconds(10);
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (steady::now() >= until_reaped) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                break;
            }
            ::usleep(10000);
        }
    }
    exited_.clear();
}
