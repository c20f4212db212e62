// The supervisor: one thread, one epoll loop over the listening sockets,
// the clients, the workers' sockets, a signalfd and the pipe of a reload's
// configuration check. Nothing in it waits: a slow worker holds up only
// the requests queued for it. This file is the process's life (start,
// signals, reload, drain, end); the clients and the workers are rooms of
// their own (client_room.h, worker_pool.h).
#include "service/service.h"

#include <fcntl.h>
#include <signal.h>
#include <sodium.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>

#include "config/ini.h"
#include "config/log.h"
#include "service/client_room.h"
#include "service/event_loop.h"
#include "service/service_settings.h"
#include "service/worker_pool.h"

namespace {

using steady = std::chrono::steady_clock;

// How long SIGTERM waits for the queued requests before it answers the
// rest as temporary failures.
constexpr auto drain_limit = std::chrono::seconds(30);

class supervisor {
public:
    supervisor(auth_module_table& table, const char* program, const char* config_file)
        : table_(table),
          program_(program ? program : "quillmar"),
          config_file_(config_file ? config_file : ""),
          has_config_file_(config_file != nullptr),
          pool_(loop_, table, settings_),
          clients_(loop_, settings_, pool_) {}
    int run();

private:
    void fit_descriptor_limit();
    void on_signals();
    void tick();

    // Reload.
    void start_check();
    void on_check_output();
    void finish_check(int status);
    void apply_reload();

    // Drain on SIGTERM, and the end.
    void begin_drain();
    bool drained() const { return pool_.idle() && clients_.written(); }
    void finish();

    auth_module_table& table_;
    std::string program_, config_file_;
    bool has_config_file_;
    // The rooms read the settings through references to this one.
    service_settings settings_;
    event_loop loop_;
    worker_pool pool_;
    client_room clients_;
    int signals_ = -1;

    // The configuration check of a reload, a child of its own.
    pid_t check_pid_ = -1;
    int check_pipe_ = -1;
    std::string check_output_;
    bool check_exited_ = false, reload_again_ = false;
    int check_status_ = 0;

    bool draining_ = false, done_ = false;
    steady::time_point drain_until_;
};

// Every client is a descriptor: the soft limit is raised to what the
// settings need, as far as the hard one lets it.
void supervisor::fit_descriptor_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    const rlim_t needed = settings_.max_clients + 2 * settings_.workers + 64;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < needed) {
        limit.rlim_cur =
            limit.rlim_max == RLIM_INFINITY || limit.rlim_max > needed ? needed : limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur < needed)
        error_log("Service: max_clients %zu needs %lu descriptors, the process may open %lu",
                  settings_.max_clients, static_cast<unsigned long>(needed),
                  static_cast<unsigned long>(limit.rlim_cur));
}

int supervisor::run() {
    settings_ = current_service_settings();
    if (sodium_init() < 0) {
        error_log("Service: libsodium cannot start");
        return 1;
    }
    sigset_t handled;
    sigemptyset(&handled);
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaddset(&handled, s);
    ::sigprocmask(SIG_BLOCK, &handled, nullptr);
    const bool loop_open = loop_.open();
    signals_ = ::signalfd(-1, &handled, SFD_NONBLOCK | SFD_CLOEXEC);
    if (!loop_open || signals_ < 0) {
        error_log("Service: cannot set up the event loop: %s", std::strerror(errno));
        return 1;
    }
    loop_.watch(signals_, EPOLLIN, watch_tag::signal, 0);
    if (!clients_.open_listeners()) {
        finish();
        return 1;
    }
    fit_descriptor_limit();
    clients_.resolve_proxy_hosts();
    pool_.start();
    debug_log("Service: started, %u workers", settings_.workers);

    epoll_event events[64];
    steady::time_point last_tick = steady::now();
    while (!done_) {
        // Paused reading ends once a worker's backlog runs low or stops
        // moving: the loop looks again soon even if nothing wakes it.
        const steady::time_point before = steady::now();
        const int n = loop_.wait(
            events, 64,
            pool_.wait_ms(before, clients_.wait_ms(before, clients_.reading_paused() ? 20 : 250)));
        if (n < 0 && errno != EINTR) {
            error_log("Service: the event loop failed: %s", std::strerror(errno));
            break;
        }
        // The turn's jobs leave for each worker in one write, and its
        // answers for each client in one write, once every event is seen.
        std::optional<pool_writes_held> turn(std::in_place, pool_);
        for (int i = 0; i < n; ++i) {
            const std::uint64_t data = events[i].data.u64;
            const std::uint64_t number = event_loop::number_of(data);
            switch (event_loop::tag_of(data)) {
            case watch_tag::listener:
                clients_.on_listener(static_cast<std::size_t>(number));
                break;
            case watch_tag::client_set:
                clients_.on_clients();
                break;
            case watch_tag::client:  // watched in the clients' own loop, never here
                break;
            case watch_tag::worker:
                pool_.on_event(number, events[i].events);
                break;
            case watch_tag::worker_bell:
                pool_.on_bell(number, events[i].events);
                break;
            case watch_tag::signal:
                on_signals();
                break;
            case watch_tag::check:
                on_check_output();
                break;
            }
        }
        const steady::time_point now = steady::now();
        pool_.read_quiet(now);
        clients_.release_held(now);
        if (now - last_tick >= std::chrono::milliseconds(250)) {
            last_tick = now;
            tick();
        }
        turn.reset();
        clients_.flush_queued();
        clients_.pause_reading(pool_.backlogged(steady::now()));
        if (draining_ && (drained() || now >= drain_until_)) done_ = true;
    }
    finish();
    return 0;
}

void supervisor::on_signals() {
    signalfd_siginfo info;
    while (::read(signals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        switch (info.ssi_signo) {
        case SIGTERM:
        case SIGINT:
            if (!draining_) begin_drain();
            break;
        case SIGHUP:
            if (draining_) break;
            debug_log("Service: SIGHUP: checking the ini file again");
            if (check_pid_ > 0)
                reload_again_ = true;
            else
                start_check();
            break;
        case SIGCHLD:
            for (;;) {
                int status = 0;
                const pid_t pid = ::waitpid(-1, &status, WNOHANG);
                if (pid <= 0) break;
                if (pid == check_pid_) {
                    check_exited_ = true;
                    check_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
                    if (check_pipe_ < 0) finish_check(check_status_);
                    continue;
                }
                pool_.reaped(pid, status);
            }
            break;
        }
    }
}

void supervisor::tick() {
    const steady::time_point now = steady::now();
    clients_.resume_accepting(now);
    pool_.tick(now);
    clients_.close_idle(now);
}

// A reload is refused when -check refuses the new file: the check runs as
// a program of its own (this one, with -check -serve), which connects and
// reads the table as an administrator's check would, while the supervisor
// goes on serving.
void supervisor::start_check() {
    int pipe_ends[2];
    if (::pipe2(pipe_ends, O_CLOEXEC) != 0) {
        error_log("Service: SIGHUP ignored: no pipe for the check (%s)", std::strerror(errno));
        return;
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        error_log("Service: SIGHUP ignored: cannot start the check (%s)", std::strerror(errno));
        ::close(pipe_ends[0]);
        ::close(pipe_ends[1]);
        return;
    }
    if (pid == 0) {
        plain_signals();
        ::dup2(pipe_ends[1], 1);
        ::dup2(pipe_ends[1], 2);
        std::vector<std::string> words = {program_, "-check", "-serve"};
        if (has_config_file_) {
            words.push_back("-config");
            words.push_back(config_file_);
        }
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(&word[0]);
        argv.push_back(nullptr);
        ::execv("/proc/self/exe", argv.data());
        ::_exit(127);
    }
    ::close(pipe_ends[1]);
    check_pid_ = pid;
    check_pipe_ = pipe_ends[0];
    check_output_.clear();
    check_exited_ = false;
    ::fcntl(check_pipe_, F_SETFL, ::fcntl(check_pipe_, F_GETFL) | O_NONBLOCK);
    loop_.watch(check_pipe_, EPOLLIN, watch_tag::check, 0);
}

void supervisor::on_check_output() {
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(check_pipe_, chunk, sizeof chunk);
        if (n > 0) {
            if (check_output_.size() < 65536)
                check_output_.append(chunk, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;
        break;
    }
    loop_.forget(check_pipe_);
    ::close(check_pipe_);
    check_pipe_ = -1;
    if (check_exited_) finish_check(check_status_);
}

void supervisor::finish_check(int status) {
    check_pid_ = -1;
    if (status == 0) {
        apply_reload();
    } else {
        std::size_t start = 0;
        while (start < check_output_.size()) {
            std::size_t end = check_output_.find('\n', start);
            if (end == std::string::npos) end = check_output_.size();
            const std::string line = check_output_.substr(start, end - start);
            // The check's own lines (the file read, the count) say nothing more.
            const bool own = line == "service" || line.compare(0, 8, "reading ") == 0 ||
                             (line.find(" problem") != std::string::npos &&
                              line.find_first_not_of("0123456789") == line.find(' '));
            if (!line.empty() && !own)
                error_log("Service: reload refused, the running settings stay: %s", line.c_str());
            start = end + 1;
        }
        if (check_output_.empty())
            error_log("Service: reload refused: the check ended with status %d", status);
    }
    check_output_.clear();
    if (reload_again_ && !draining_) {
        reload_again_ = false;
        start_check();
    }
}

// The sockets stay those of the start; everything else is read anew, and
// the workers are replaced to run the new settings.
void supervisor::apply_reload() {
    const service_settings before = settings_;
    if (table_.cleanup) table_.cleanup();
    if (table_.init) table_.init();
    service_begin(table_);
    load_ini(program_.c_str(), service_ini_key, has_config_file_ ? config_file_.c_str() : nullptr);
    settings_ = current_service_settings();
    for (const std::string& change : settings_needing_restart(before, settings_))
        error_log("Service: reload: %s takes effect at the next start", change.c_str());
    settings_.listen_auth = before.listen_auth;
    settings_.listen_socketmap = before.listen_socketmap;
    settings_.listen_http = before.listen_http;
    settings_.listen_saslauthd = before.listen_saslauthd;
    clients_.resolve_proxy_hosts();
    pool_.reload();
}

void supervisor::begin_drain() {
    debug_log("Service: SIGTERM: no new clients; answering what is queued");
    draining_ = true;
    pool_.drain();
    clients_.drain();
    drain_until_ = steady::now() + drain_limit;
    clients_.close_listeners();
    clients_.flush_all();
}

// The end: what is still queued or held gets a temporary failure, the
// workers their end of input (then SIGKILL after 10 s), the sockets made
// here are removed.
void supervisor::finish() {
    draining_ = true;
    pool_.drain();
    clients_.drain();
    pool_.fail_all();
    clients_.finish();
    pool_.finish();
    if (check_pid_ > 0) {
        ::kill(check_pid_, SIGKILL);
        ::waitpid(check_pid_, nullptr, 0);
    }
    clients_.close_listeners();
    if (signals_ >= 0) ::close(signals_);
    loop_.close();
    debug_log("Service: stopped");
}

}  // namespace

void service_begin(auth_module_table& table) { service_settings_begin(table); }

int service_ini_key(const char* key, const char* value) { return service_settings_key(key, value); }

int serve(auth_module_table& table, const char* program, const char* config_file) {
    supervisor s(table, program, config_file);
    return s.run();
}

void service_check(std::vector<std::string>& problems) {
    service_settings_problems(current_service_settings(), problems);
}
