#include "service/worker.h"

#include <sodium.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>

#include "config/globals.h"
#include "config/input_wait.h"
#include "config/log.h"
#include "config/whole_write.h"

namespace {

struct {
    bool started = false, tried = false;
    std::chrono::steady_clock::time_point last_try;
} start_state;

bool back_end_started(auth_module_table& table) {
    if (start_state.started) return true;
    const auto now = std::chrono::steady_clock::now();
    if (start_state.tried && now - start_state.last_try < std::chrono::seconds(1)) return false;
    start_state.tried = true;
    start_state.last_try = now;
    start_state.started = !table.start || table.start();
    std::fflush(stdout);
    if (!start_state.started)
        error_log("Service worker: the user directory could not start: answered unavailable");
    return start_state.started;
}

// A value that would break a line of either protocol is refused with the
// record, as the line protocol refuses it.
bool carries(const std::optional<std::string>& text) {
    if (!text) return true;
    for (char c : *text)
        if (c == '\r' || c == '\n' || c == '\0') return false;
    return true;
}

void wipe(std::string& text) {
    if (!text.empty()) sodium_memzero(&text[0], text.size());
}

}  // namespace

worker_answer serve_job(auth_module_table& table, const worker_job& job) {
    worker_answer answer;
    answer.id = job.id;
    const bool check = job.kind == job_kind::check;
    if (!(check ? table.check : table.lookup) || !back_end_started(table)) {
        answer.verdict = check_verdict::unavailable;
        return answer;
    }
    try {
        if (table.name_fits && !table.name_fits(job.user)) {
            debug_log("...Name longer than the user column: refused without a query");
            answer.verdict = check_verdict::refused;
            return answer;
        }
        command_words words;
        words[0] = std::string(check ? "check" : "lookup");
        words[1] = job.user;
        if (check) {
            words[2] = job.password;
            words[3] = job.address;
        }
        auth_result* result = check ? table.check(words) : table.lookup(words);
        if (words[2]) wipe(*words[2]);
        if (!result) {
            answer.verdict = table.unavailable && table.unavailable() ? check_verdict::unavailable
                                                                      : check_verdict::refused;
            return answer;
        }
        if (!carries(result->user) || !carries(result->maildrop) || !carries(result->options)) {
            error_log("Result record holds a line break or NUL: answered as a failure");
            answer.verdict = check_verdict::refused;
        } else {
            answer.verdict = check_verdict::found;
            answer.user = result->user;
            answer.maildrop = result->maildrop;
            answer.options = result->options;
            answer.uid = mail_uid;
        }
        empty_auth_result(*result);
    } catch (const std::exception& error) {
        error_log("Service worker: a request failed (%s): answered unavailable", error.what());
        answer = worker_answer{};
        answer.id = job.id;
        answer.verdict = check_verdict::unavailable;
    } catch (...) {
        error_log("Service worker: a request failed (an unknown fault): answered unavailable");
        answer = worker_answer{};
        answer.id = job.id;
        answer.verdict = check_verdict::unavailable;
    }
    return answer;
}

// Each answer is written as soon as it is made, not gathered with the
// answers to the jobs read with it: a job that kills the worker must not
// take the answers before it down too. But the supervisor does not watch
// the socket for them: a write there would wake it for every answer. The
// worker rings its bell (a byte on a pipe the supervisor watches) once
// every few answers, before it waits for more jobs, and before a job when
// an answer has waited unannounced too long; the supervisor then reads all
// the answers there are. The jobs come in batches (the supervisor writes a
// turn's jobs in one write), so one read serves many.
namespace {

// Answers announced together: a supervisor woken once for several, and
// an answer held back by at most as many jobs' time.
constexpr unsigned bell_every = 4;
// A job that took this long (a round trip to a database that is not
// answering from its own memory at once, a hash) has its answer announced
// before the next starts: the next is likely as slow, so that four of them
// would hold the first answer back noticeably, and a supervisor woken for
// each is cheap beside them.
constexpr auto slow_job = std::chrono::microseconds(100);
// An answer that has waited this long behind quick ones is announced
// before the next job starts.
constexpr auto bell_wait = std::chrono::microseconds(500);

class answer_bell {
public:
    using clock = std::chrono::steady_clock;
    explicit answer_bell(int fd) : fd_(fd) {}
    void before_job() {
        const clock::time_point now = clock::now();
        if (unannounced_ > 0 && (last_took_ >= slow_job || now - first_ >= bell_wait)) ring();
        started_ = now;
    }
    void answered() {
        const clock::time_point now = clock::now();
        last_took_ = now - started_;
        if (unannounced_++ == 0) first_ = now;
        if (unannounced_ >= bell_every) ring();
    }
    // A full pipe is a bell already rung and not yet heard.
    void ring() {
        if (unannounced_ == 0) return;
        unannounced_ = 0;
        const char byte = '!';
        while (::write(fd_, &byte, 1) < 0 && errno == EINTR) {
        }
    }

private:
    int fd_;
    unsigned unannounced_ = 0;
    clock::time_point first_, started_ = clock::now();
    clock::duration last_took_{};
};

}  // namespace

void run_worker(auth_module_table& table, int fd, int bell_fd) {
    process_id = static_cast<long>(::getpid());
    start_state = {};
    back_end_started(table);
    answer_bell bell(bell_fd);
    int status = write_all(fd, frame_ready()) ? 0 : 1;
    bell.answered();
    std::string in;
    char chunk[16384];
    while (status == 0) {
        std::string_view body;
        std::size_t used = 0;
        const frame_status frame = take_frame(in, body, used);
        if (frame == frame_status::broken) {
            error_log("Service worker: a broken frame from the supervisor: worker ends");
            status = 1;
            break;
        }
        if (frame == frame_status::complete) {
            std::optional<worker_job> job = read_job(body);
            sodium_memzero(&in[0], used);  // the frame held a password
            in.erase(0, used);
            if (!job) {
                error_log("Service worker: a frame that is no job: worker ends");
                status = 1;
                break;
            }
            bell.before_job();
            const worker_answer answer = serve_job(table, *job);
            wipe(job->password);
            if (!write_all(fd, frame_answer(answer))) status = 1;
            bell.answered();
            continue;
        }
        // Nothing more to do until the supervisor hears of what is done.
        bell.ring();
        // A worker between bursts still writes what the burst counted.
        wait_for_input(fd, table.idle);
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        in.append(chunk, static_cast<std::size_t>(n));
        sodium_memzero(chunk, static_cast<std::size_t>(n));
    }
    bell.ring();
    if (table.cleanup) table.cleanup();
    std::fflush(stdout);
    ::_exit(status);
}
