// The supervisor: one thread, one epoll loop over the listening sockets,
// the clients, the workers' sockets, a signalfd and the pipe of a reload's
// configuration check. Nothing in it waits: a slow worker holds up only
// the requests queued for it.
#include "service/service.h"

#include <fcntl.h>
#include <signal.h>
#include <sodium.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <unordered_map>

#include "config/globals.h"
#include "config/ini.h"
#include "config/log.h"
#include "module/record_options.h"
#include "service/auth_protocol.h"
#include "service/held_answers.h"
#include "service/http_auth.h"
#include "service/listen_socket.h"
#include "service/saslauthd.h"
#include "service/service_settings.h"
#include "service/socketmap.h"
#include "service/worker.h"
#include "service/worker_frames.h"

namespace {

using steady = std::chrono::steady_clock;

// Jobs a worker holds at once: enough that it never waits for the
// supervisor between two, few enough that a worker that dies takes few
// answers with it.
constexpr std::size_t worker_window = 16;
// Requests one client may have at the workers before its further lines
// wait unread: no client fills every queue alone.
constexpr std::size_t client_window = 32;
// Answers a client has not read beyond this end the connection.
constexpr std::size_t client_output_limit = 4u << 20;
// A job that a worker holds longer than this means a worker that hangs
// past every deadline of the back end: it is killed and started again.
constexpr auto worker_hang_limit = std::chrono::seconds(120);
// How long SIGTERM waits for the queued requests before it answers the
// rest as temporary failures.
constexpr auto drain_limit = std::chrono::seconds(30);

void wipe_bytes(std::string& text, std::size_t count) {
    if (count > text.size()) count = text.size();
    if (count > 0) sodium_memzero(&text[0], count);
    text.erase(0, count);
}

// One request on its way to a worker and back.
struct request {
    std::uint64_t client = 0;
    service_protocol protocol = service_protocol::auth;
    auth_check check;  // auth: the request; socketmap: user is the key
    map_answer map = map_answer::maildrop;
    mail_protocol mail = mail_protocol::imap;  // http: the proxy's protocol and attempt
    unsigned long attempt = 1;
    std::uint32_t job_id = 0;
    steady::time_point sent;

    request() = default;
    request(const request&) = delete;
    request& operator=(const request&) = delete;
    ~request() {
        if (!check.password.empty()) sodium_memzero(&check.password[0], check.password.size());
    }
};
using request_ptr = std::unique_ptr<request>;

struct client {
    explicit client(std::size_t max_pending) : auth(max_pending) {}
    std::uint64_t number = 0;
    int fd = -1;
    service_protocol protocol = service_protocol::auth;
    std::string in, out;
    // The idle clock's start: the client's last byte, or the answer to its
    // last request when that came later. A client waiting for an answer is
    // not idle, however slow the check.
    steady::time_point quiet_since;
    auth_conversation auth;
    std::size_t at_workers = 0;  // requests handed out and not yet answered
    bool ended = false;          // the client sent its last byte: close once answered
    bool closing = false;        // close as soon as `out` is written
    std::uint32_t events = 0;
};

struct worker_process {
    std::uint64_t number = 0;
    pid_t pid = -1;
    int fd = -1;
    std::size_t slot = 0;
    unsigned generation = 0;
    std::string in, out;
    std::deque<request_ptr> in_flight;
    bool ready = false;
    bool retiring = false;  // takes no new jobs; ends once those it holds are answered
    bool write_closed = false;
    std::uint32_t next_job = 1;
    std::uint32_t events = 0;
};

struct worker_slot {
    std::deque<request_ptr> queue;
    worker_process* current = nullptr;
    worker_process* retiring = nullptr;
    bool restart_due = false;
    steady::time_point restart_at, last_start;
};

enum tag : std::uint64_t {
    tag_listener = 1,
    tag_client = 2,
    tag_worker = 3,
    tag_signal = 4,
    tag_check = 5
};
std::uint64_t tagged(tag t, std::uint64_t number) {
    return static_cast<std::uint64_t>(t) << 56 | number;
}

// FNV-1a: a stable spread of names over the workers.
std::uint64_t name_hash(const std::string& name) {
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : name) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

std::string random_cookie() {
    unsigned char bytes[16];
    randombytes_buf(bytes, sizeof bytes);
    static const char hex[] = "0123456789abcdef";
    std::string cookie;
    for (unsigned char b : bytes) {
        cookie += hex[b >> 4];
        cookie += hex[b & 15];
    }
    return cookie;
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

// In a child: the signals as a plain process has them.
void plain_signals() {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGCHLD, SIG_DFL);
}

class supervisor {
public:
    supervisor(auth_module_table& table, const char* program, const char* config_file)
        : table_(table),
          program_(program ? program : "quillmar"),
          config_file_(config_file ? config_file : ""),
          has_config_file_(config_file != nullptr) {}
    int run();

private:
    // Start and end.
    bool open_listeners();
    void fit_descriptor_limit();
    void spawn(std::size_t slot);
    void finish();

    // The loop's parts.
    void watch(int fd, std::uint32_t events, std::uint64_t data);
    void on_listener(std::size_t index);
    void on_client(client& c, std::uint32_t events);
    void on_worker(worker_process& w, std::uint32_t events);
    void on_signals();
    void on_check_output();
    void tick();

    // Clients.
    void read_client(client& c);
    void process_input(client& c);
    void process_auth(client& c);
    void process_socketmap(client& c);
    void handle_socketmap(client& c, std::string_view payload);
    void process_http(client& c);
    void process_saslauthd(client& c);
    void send(client& c, const std::string& text);
    bool hold_refusal(const client& c, check_verdict verdict, const std::string& text);
    void release_held(steady::time_point upto);
    void flush_client(client& c);
    void update_client(client& c);
    void close_client(client& c, const char* why = nullptr);
    client* find_client(std::uint64_t number);
    bool client_reading(const client& c) const;

    // Requests and workers.
    void dispatch(client& c, request_ptr r, const std::string& name);
    void pump(std::size_t slot);
    // `resume`: the client's further lines are read on (not when the
    // answer comes from inside the reading of them).
    void deliver(request& r, check_verdict verdict, const worker_answer* answer,
                 bool resume = true);
    void flush_worker(worker_process& w);
    void update_worker(worker_process& w);
    void worker_ended(worker_process& w, const std::string& why);
    void retire_if_idle(worker_process& w);
    std::size_t held_for(std::size_t slot) const;

    // Reload.
    void start_check();
    void finish_check(int status);
    void apply_reload();
    void advance_replacement();
    void resize_slots(std::size_t count);

    // Drain on SIGTERM.
    void begin_drain();
    bool drained() const;

    auth_module_table& table_;
    std::string program_, config_file_;
    bool has_config_file_;
    service_settings settings_;
    int epoll_ = -1, signals_ = -1;
    std::vector<listen_socket> listeners_;
    resolved_hosts proxy_hosts_;  // listen_http's mail hosts, resolved at start and reload
    std::unordered_map<std::uint64_t, std::unique_ptr<client>> clients_;
    held_answers delayed_;  // refusals waiting out auth_failure_delay
    std::unordered_map<std::uint64_t, std::unique_ptr<worker_process>> workers_;
    std::deque<worker_slot> slots_;  // a deque: a slot stays where it is when more are added
    std::vector<pid_t> exited_;      // workers closed, not yet reaped
    std::uint64_t next_client_ = 1, next_worker_ = 1;
    unsigned long connections_ = 0;
    unsigned generation_ = 1;
    std::size_t replace_cursor_ = static_cast<std::size_t>(-1);
    steady::time_point last_full_note_, accept_paused_until_;
    bool accept_paused_ = false;

    // The configuration check of a reload, a child of its own.
    pid_t check_pid_ = -1;
    int check_pipe_ = -1;
    std::string check_output_;
    bool check_exited_ = false, reload_again_ = false;
    int check_status_ = 0;

    bool draining_ = false, done_ = false;
    steady::time_point drain_until_;
};

client* supervisor::find_client(std::uint64_t number) {
    auto found = clients_.find(number);
    return found == clients_.end() ? nullptr : found->second.get();
}

void supervisor::watch(int fd, std::uint32_t events, std::uint64_t data) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = data;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
}

bool supervisor::open_listeners() {
    listeners_ = handed_sockets(settings_);
    auto handed = [&](service_protocol p) {
        for (const listen_socket& s : listeners_)
            if (s.protocol == p) return true;
        return false;
    };
    const std::pair<const std::optional<std::string>*, service_protocol> wanted[] = {
        {&settings_.listen_auth, service_protocol::auth},
        {&settings_.listen_socketmap, service_protocol::socketmap},
        {&settings_.listen_http, service_protocol::http},
        {&settings_.listen_saslauthd, service_protocol::saslauthd},
    };
    for (const auto& [path, protocol] : wanted) {
        if (!*path || handed(protocol)) continue;
        listen_socket made;
        std::string error;
        const bool tcp = protocol == service_protocol::http && (*path)->rfind('/', 0) != 0;
        if (!(tcp ? make_tcp_listen_socket(**path, protocol, made, error)
                  : make_listen_socket(**path, protocol, settings_, made, error))) {
            error_log("Service: cannot listen on %s (%s): %s", (*path)->c_str(),
                      protocol_name(protocol), error.c_str());
            std::fprintf(stderr, "quillmar: cannot listen on %s: %s\n", (*path)->c_str(),
                         error.c_str());
            return false;
        }
        listeners_.push_back(made);
    }
    if (listeners_.empty()) {
        error_log(
            "Service: none of listen_auth, listen_socketmap, listen_http, listen_saslauthd is set: "
            "nothing to serve");
        std::fprintf(stderr,
                     "quillmar: none of listen_auth, listen_socketmap, listen_http, "
                     "listen_saslauthd is set\n");
        return false;
    }
    for (std::size_t i = 0; i < listeners_.size(); ++i) {
        watch(listeners_[i].fd, EPOLLIN, tagged(tag_listener, i));
        debug_log("Service: listening on %s (%s)", listeners_[i].path.c_str(),
                  protocol_name(listeners_[i].protocol));
    }
    return true;
}

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

// A worker is a child forked from the supervisor after the ini file is
// read: it has the back end's settings as they were checked, runs the
// back end's start itself, and keeps none of the supervisor's descriptors.
void supervisor::spawn(std::size_t slot) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        error_log("Service: no socket pair for a worker (%s): tried again in a second",
                  std::strerror(errno));
        slots_[slot].restart_due = true;
        slots_[slot].restart_at = steady::now() + std::chrono::seconds(1);
        return;
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        error_log("Service: cannot start a worker (%s): tried again in a second",
                  std::strerror(errno));
        ::close(pair[0]);
        ::close(pair[1]);
        slots_[slot].restart_due = true;
        slots_[slot].restart_at = steady::now() + std::chrono::seconds(1);
        return;
    }
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        plain_signals();
        // A signal from the terminal or a reload is the supervisor's.
        std::signal(SIGINT, SIG_IGN);
        std::signal(SIGHUP, SIG_IGN);
        if (pair[1] != 3 && ::dup2(pair[1], 3) < 0) ::_exit(1);
        close_inherited_from(4);
        run_worker(table_, 3);
    }
    ::close(pair[1]);
    auto w = std::make_unique<worker_process>();
    w->number = next_worker_++;
    w->pid = pid;
    w->fd = pair[0];
    w->slot = slot;
    w->generation = generation_;
    ::fcntl(w->fd, F_SETFL, ::fcntl(w->fd, F_GETFL) | O_NONBLOCK);
    w->events = EPOLLIN;
    watch(w->fd, w->events, tagged(tag_worker, w->number));
    worker_slot& s = slots_[slot];
    s.current = w.get();
    s.restart_due = false;
    s.last_start = steady::now();
    debug_log("Service: worker %ld started for slot %zu", static_cast<long>(pid), slot);
    workers_[w->number] = std::move(w);
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
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    signals_ = ::signalfd(-1, &handled, SFD_NONBLOCK | SFD_CLOEXEC);
    if (epoll_ < 0 || signals_ < 0) {
        error_log("Service: cannot set up the event loop: %s", std::strerror(errno));
        return 1;
    }
    watch(signals_, EPOLLIN, tagged(tag_signal, 0));
    if (!open_listeners()) {
        finish();
        return 1;
    }
    fit_descriptor_limit();
    if (settings_.listen_http) proxy_hosts_ = resolve_proxy_hosts_logged(settings_.http);
    slots_.resize(settings_.workers);
    for (std::size_t i = 0; i < slots_.size(); ++i) spawn(i);
    debug_log("Service: started, %u workers", settings_.workers);

    epoll_event events[64];
    steady::time_point last_tick = steady::now();
    while (!done_) {
        const int n = ::epoll_wait(epoll_, events, 64, delayed_.wait_ms(steady::now(), 250));
        if (n < 0 && errno != EINTR) {
            error_log("Service: the event loop failed: %s", std::strerror(errno));
            break;
        }
        for (int i = 0; i < n; ++i) {
            const std::uint64_t data = events[i].data.u64;
            const std::uint64_t number = data & ((1ull << 56) - 1);
            switch (static_cast<tag>(data >> 56)) {
            case tag_listener:
                on_listener(static_cast<std::size_t>(number));
                break;
            case tag_client:
                if (client* c = find_client(number)) on_client(*c, events[i].events);
                break;
            case tag_worker: {
                auto found = workers_.find(number);
                if (found != workers_.end()) on_worker(*found->second, events[i].events);
                break;
            }
            case tag_signal:
                on_signals();
                break;
            case tag_check:
                on_check_output();
                break;
            }
        }
        const steady::time_point now = steady::now();
        release_held(now);
        if (now - last_tick >= std::chrono::milliseconds(250)) {
            last_tick = now;
            tick();
        }
        if (draining_ && (drained() || now >= drain_until_)) done_ = true;
    }
    finish();
    return 0;
}

void supervisor::on_listener(std::size_t index) {
    if (draining_ || index >= listeners_.size()) return;
    const listen_socket& listener = listeners_[index];
    for (int i = 0; i < 64; ++i) {
        const int fd = ::accept4(listener.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE) {
                error_log("Service: no descriptor for a new client (%s): accepting paused",
                          std::strerror(errno));
                for (const listen_socket& l : listeners_)
                    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, l.fd, nullptr);
                accept_paused_ = true;
                accept_paused_until_ = steady::now() + std::chrono::seconds(1);
            }
            return;
        }
        const steady::time_point now = steady::now();
        if (clients_.size() >= settings_.max_clients) {
            if (now - last_full_note_ >= std::chrono::seconds(10)) {
                last_full_note_ = now;
                error_log("Service: max_clients (%zu) reached: new connections are closed",
                          settings_.max_clients);
            }
            ::close(fd);
            continue;
        }
        auto c = std::make_unique<client>(settings_.max_pending);
        c->number = next_client_++;
        c->fd = fd;
        c->protocol = listener.protocol;
        c->quiet_since = now;
        c->events = EPOLLIN;
        watch(fd, c->events, tagged(tag_client, c->number));
        client& added = *c;
        clients_[c->number] = std::move(c);
        debug_log("Service: %s client %llu connected", protocol_name(added.protocol),
                  static_cast<unsigned long long>(added.number));
        // The whole handshake in one write: clients that read it line by
        // line break on a server that sends it in parts.
        if (added.protocol == service_protocol::auth)
            send(added, auth_conversation::handshake(static_cast<unsigned long>(::getpid()),
                                                     ++connections_, random_cookie()));
    }
}

bool supervisor::client_reading(const client& c) const {
    return !draining_ && !c.ended && !c.closing && c.at_workers < client_window &&
           (c.protocol == service_protocol::auth || c.at_workers == 0);
}

void supervisor::update_client(client& c) {
    std::uint32_t wanted = 0;
    if (client_reading(c)) wanted |= EPOLLIN;
    if (!c.out.empty()) wanted |= EPOLLOUT;
    if (wanted == c.events) return;
    c.events = wanted;
    epoll_event event{};
    event.events = wanted;
    event.data.u64 = tagged(tag_client, c.number);
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &event);
}

void supervisor::close_client(client& c, const char* why) {
    if (why)
        debug_log("Service: client %llu closed: %s", static_cast<unsigned long long>(c.number),
                  why);
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
    ::close(c.fd);
    if (!c.in.empty()) sodium_memzero(&c.in[0], c.in.size());
    delayed_.forget(c.number);
    clients_.erase(c.number);
}

void supervisor::send(client& c, const std::string& text) {
    c.out += text;
    flush_client(c);
}

// A refused check is answered only after auth_failure_delay, so that a
// guesser gets few tries a connection; the worker is free at once. nginx's
// auth_http is not held: its answer tells nginx to wait (Auth-Wait). A
// database that cannot answer is no guess and is answered at once.
bool supervisor::hold_refusal(const client& c, check_verdict verdict, const std::string& text) {
    if (verdict != check_verdict::refused || settings_.auth_failure_delay == 0 || draining_)
        return false;
    delayed_.hold(c.number, text,
                  steady::now() + std::chrono::seconds(settings_.auth_failure_delay));
    return true;
}

void supervisor::release_held(steady::time_point upto) {
    delayed_.release(upto, [this](std::uint64_t number, const std::string& text) {
        client* c = find_client(number);
        if (!c) return;
        c->quiet_since = steady::now();
        send(*c, text);
    });
}

// Writes what it can; the rest waits for the socket. Ends the client when
// it is done with or cannot take its answers.
void supervisor::flush_client(client& c) {
    while (!c.out.empty()) {
        const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n > 0) {
            c.out.erase(0, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        close_client(c, "the client is gone");
        return;
    }
    if (c.out.size() > client_output_limit) {
        close_client(c, "the client reads no answers");
        return;
    }
    const bool answered = c.at_workers == 0 && !delayed_.holds(c.number);
    if (c.out.empty() && (c.closing || ((c.ended || draining_) && answered))) {
        close_client(c, c.closing ? "closed after its last answer" : nullptr);
        return;
    }
    update_client(c);
}

void supervisor::on_client(client& c, std::uint32_t events) {
    const std::uint64_t number = c.number;
    if (events & EPOLLOUT) {
        flush_client(c);
        if (!find_client(number)) return;
    }
    if (events & EPOLLIN) {
        read_client(c);
        return;
    }
    if (events & (EPOLLHUP | EPOLLERR)) close_client(c, "the client hung up");
}

void supervisor::read_client(client& c) {
    char chunk[16384];
    bool ended = false;
    // A bounded amount a turn, so that one client cannot hold the loop.
    for (int i = 0; i < 8 && c.in.size() <= settings_.max_line + sizeof chunk; ++i) {
        const ssize_t n = ::recv(c.fd, chunk, sizeof chunk, 0);
        if (n > 0) {
            c.in.append(chunk, static_cast<std::size_t>(n));
            sodium_memzero(chunk, static_cast<std::size_t>(n));
            c.quiet_since = steady::now();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        ended = true;
        break;
    }
    const std::uint64_t number = c.number;
    process_input(c);
    if (!find_client(number)) return;
    if (ended) {
        c.ended = true;
        if (c.at_workers == 0 && !delayed_.holds(number)) {
            close_client(c, "the client closed the connection");
            return;
        }
    }
    update_client(c);
}

void supervisor::process_input(client& c) {
    if (c.protocol == service_protocol::auth)
        process_auth(c);
    else if (c.protocol == service_protocol::http)
        process_http(c);
    else if (c.protocol == service_protocol::saslauthd)
        process_saslauthd(c);
    else
        process_socketmap(c);
}

// One request a connection, as nginx's HTTP/1.0 asks: the connection
// closes after its answer.
void supervisor::process_http(client& c) {
    if (!client_reading(c)) return;
    http_take take = take_http_request(c.in, settings_.max_line);
    if (take.status == http_take_status::incomplete) return;
    wipe_bytes(c.in, c.in.size());
    const auto number = static_cast<unsigned long long>(c.number);
    if (take.status == http_take_status::refused) {
        error_log("Service: http client %llu sent %s: answered %d, disconnected", number,
                  take.why.c_str(), take.code);
        c.closing = true;
        send(c, http_error_response(take.code));
        return;
    }
    http_auth_step step = read_http_auth(take, settings_.http);
    for (auto& header : take.headers) wipe_bytes(header.second, header.second.size());
    if (!step.log.empty()) error_log("Service: http client %llu: %s", number, step.log.c_str());
    if (!step.query) {
        c.closing = true;
        send(c, step.response);
        return;
    }
    auto r = std::make_unique<request>();
    r->client = c.number;
    r->protocol = service_protocol::http;
    r->mail = step.query->protocol;
    r->attempt = step.query->attempt;
    r->check.user = step.query->user;
    r->check.password = std::move(step.query->password);
    r->check.address = step.query->client_ip;
    wipe_bytes(step.query->password, step.query->password.size());
    dispatch(c, std::move(r), step.query->user);
}

void supervisor::process_auth(client& c) {
    const std::uint64_t number = c.number;
    while (client_reading(c)) {
        const std::size_t end = c.in.find('\n');
        if (end == std::string::npos ? c.in.size() > settings_.max_line
                                     : end > settings_.max_line) {
            error_log("Service: auth client %llu sent a line longer than %zu bytes: disconnected",
                      static_cast<unsigned long long>(number), settings_.max_line);
            c.closing = true;
            flush_client(c);
            return;
        }
        if (end == std::string::npos) break;
        std::string line = c.in.substr(0, end);
        wipe_bytes(c.in, end + 1);
        auth_step step = c.auth.take_line(line);
        sodium_memzero(&line[0], line.size());
        if (step.check) {
            auto r = std::make_unique<request>();
            r->client = number;
            r->protocol = service_protocol::auth;
            r->check = std::move(*step.check);
            const std::string name = r->check.user;
            dispatch(c, std::move(r), name);
            if (!find_client(number)) return;
        }
        if (step.close) {
            error_log("Service: auth client %llu broke the protocol (%s): disconnected",
                      static_cast<unsigned long long>(number), step.broken.c_str());
            c.closing = true;
        }
        if (!step.reply.empty() || step.close) {
            send(c, step.reply);
            if (!find_client(number)) return;
        }
    }
}

void supervisor::process_socketmap(client& c) {
    const std::uint64_t number = c.number;
    while (client_reading(c)) {
        const netstring_take take = take_netstring(c.in, settings_.max_line);
        if (take.status == netstring_status::incomplete) break;
        if (take.status == netstring_status::broken) {
            error_log("Service: socketmap client %llu broke the protocol (%s): disconnected",
                      static_cast<unsigned long long>(number), take.broken);
            c.closing = true;
            send(c, netstring(std::string("PERM ") + take.broken));
            return;
        }
        const std::string payload(take.payload);
        wipe_bytes(c.in, take.used);
        handle_socketmap(c, payload);
        if (!find_client(number)) return;
    }
}

void supervisor::handle_socketmap(client& c, std::string_view payload) {
    std::optional<socketmap_request> parsed = parse_socketmap_request(payload);
    if (!parsed) {
        error_log("Service: socketmap client %llu sent no \"name key\" request: disconnected",
                  static_cast<unsigned long long>(c.number));
        c.closing = true;
        send(c, netstring("PERM malformed request"));
        return;
    }
    auto map = settings_.maps.find(parsed->name);
    if (map == settings_.maps.end()) {
        send(c, netstring("PERM unknown map name"));
        return;
    }
    // A key no user name can be is no user: never an error to the mail system.
    if (!auth_name_acceptable(parsed->key)) {
        send(c, netstring("NOTFOUND "));
        return;
    }
    auto r = std::make_unique<request>();
    r->client = c.number;
    r->protocol = service_protocol::socketmap;
    r->map = map->second;
    r->check.user = parsed->key;
    dispatch(c, std::move(r), parsed->key);
}

// One request a connection: once it is whole the client is read no more
// (as if it had ended), and is closed when its answer is written.
void supervisor::process_saslauthd(client& c) {
    if (!client_reading(c)) return;
    saslauthd_take take = take_saslauthd_request(c.in, settings_.max_line);
    if (take.status == saslauthd_status::incomplete) return;
    wipe_bytes(c.in, c.in.size());
    if (take.status == saslauthd_status::broken) {
        error_log("Service: saslauthd client %llu broke the protocol (%s): disconnected",
                  static_cast<unsigned long long>(c.number), take.broken);
        c.closing = true;
        flush_client(c);
        return;
    }
    c.ended = true;
    if (!saslauthd_checkable(take.request)) {
        send(c, saslauthd_answer(check_verdict::refused));
        return;
    }
    auto r = std::make_unique<request>();
    r->client = c.number;
    r->protocol = service_protocol::saslauthd;
    r->check.user = saslauthd_user(take.request);
    r->check.password = std::move(take.request.password);
    const std::string name = r->check.user;
    dispatch(c, std::move(r), name);
}

std::size_t supervisor::held_for(std::size_t slot) const {
    const worker_slot& s = slots_[slot];
    return s.queue.size() + (s.current ? s.current->in_flight.size() : 0);
}

// The worker of a name: the hash of the name as the back end looks it up,
// the default domain attached, so that "alice" and "alice@example.org"
// meet the same worker's cache and keep their order.
void supervisor::dispatch(client& c, request_ptr r, const std::string& name) {
    std::string key = name;
    if (domain && key.find('@') == std::string::npos) key += "@" + *domain;
    const std::size_t slot = static_cast<std::size_t>(name_hash(key) % slots_.size());
    ++c.at_workers;
    if (held_for(slot) >= settings_.max_queue) {
        error_log(
            "Service: the queue of worker %zu is full (max_queue %zu): answered as a "
            "temporary failure",
            slot, settings_.max_queue);
        deliver(*r, check_verdict::unavailable, nullptr, false);
        return;
    }
    slots_[slot].queue.push_back(std::move(r));
    pump(slot);
}

void supervisor::pump(std::size_t slot) {
    if (slot >= slots_.size()) return;
    worker_slot& s = slots_[slot];
    worker_process* w = s.current;
    if (!w || !w->ready) return;
    // A replaced worker's last answers leave before its successor's first.
    if (s.retiring && !s.retiring->in_flight.empty()) return;
    bool sent = false;
    const steady::time_point now = steady::now();
    while (!s.queue.empty() && w->in_flight.size() < worker_window) {
        request_ptr r = std::move(s.queue.front());
        s.queue.pop_front();
        if (!find_client(r->client)) continue;
        worker_job job;
        job.id = w->next_job++;
        if (w->next_job == 0) w->next_job = 1;
        job.kind = r->protocol == service_protocol::socketmap ? job_kind::lookup : job_kind::check;
        job.user = r->check.user;
        job.password = r->check.password;
        job.address = r->check.address;
        std::string frame = frame_job(job);
        if (!job.password.empty()) sodium_memzero(&job.password[0], job.password.size());
        w->out += frame;
        sodium_memzero(&frame[0], frame.size());
        r->job_id = job.id;
        r->sent = now;
        w->in_flight.push_back(std::move(r));
        sent = true;
    }
    if (sent) flush_worker(*w);
}

void supervisor::flush_worker(worker_process& w) {
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

void supervisor::update_worker(worker_process& w) {
    const std::uint32_t wanted =
        EPOLLIN | (w.out.empty() ? 0u : static_cast<std::uint32_t>(EPOLLOUT));
    if (wanted == w.events) return;
    w.events = wanted;
    epoll_event event{};
    event.events = wanted;
    event.data.u64 = tagged(tag_worker, w.number);
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, w.fd, &event);
}

void supervisor::on_worker(worker_process& w, std::uint32_t events) {
    const std::uint64_t number = w.number;
    if (events & EPOLLOUT) {
        flush_worker(w);
        if (!workers_.count(number)) return;
    }
    if (!(events & (EPOLLIN | EPOLLHUP | EPOLLERR))) return;
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
            if (!workers_.count(number)) return;
            continue;
        }
        if (status == frame_status::complete) answer = read_answer(body);
        if (!answer || w.in_flight.empty() || w.in_flight.front()->job_id != answer->id) {
            worker_ended(w, "it sent what is no answer to its next job");
            return;
        }
        w.in.erase(0, used);
        request_ptr r = std::move(w.in_flight.front());
        w.in_flight.pop_front();
        deliver(*r, answer->verdict, &*answer);
        if (!workers_.count(number)) return;
        if (w.retiring)
            retire_if_idle(w);
        else
            pump(w.slot);
        if (!workers_.count(number)) return;
    }
    if (ended) worker_ended(w, "it closed its socket");
}

// The answer goes to its client in its protocol's words, if the client is
// still there.
void supervisor::deliver(request& r, check_verdict verdict, const worker_answer* answer,
                         bool resume) {
    client* c = find_client(r.client);
    if (!c) return;
    if (c->at_workers > 0 && --c->at_workers == 0) c->quiet_since = steady::now();
    const std::uint64_t number = c->number;
    if (r.protocol == service_protocol::auth) {
        bool close = false;
        const std::string found_user = answer && answer->user ? *answer->user : "";
        const std::string line = c->auth.answer(r.check, verdict, found_user, close);
        if (close) {
            debug_log("Service: auth client %llu (protocol 1.0) closed for a temporary failure",
                      static_cast<unsigned long long>(number));
            c->closing = true;
        }
        if (!hold_refusal(*c, verdict, line)) send(*c, line);
    } else if (r.protocol == service_protocol::http) {
        std::string why;
        const std::optional<std::string> host =
            answer && answer->options ? record_option(*answer->options, "host") : std::nullopt;
        const std::string response =
            http_auth_answer(r.mail, r.attempt, verdict, host, settings_.http, proxy_hosts_, why);
        if (!why.empty())
            error_log("Service: http client %llu, user %s: %s: a temporary failure",
                      static_cast<unsigned long long>(number), r.check.user.c_str(), why.c_str());
        c->closing = true;
        send(*c, response);
    } else if (r.protocol == service_protocol::saslauthd) {
        const std::string text = saslauthd_answer(verdict);
        if (!hold_refusal(*c, verdict, text)) send(*c, text);
    } else {
        std::string reply = "NOTFOUND ";
        if (verdict == check_verdict::unavailable) {
            reply = "TEMP the user database cannot answer";
        } else if (verdict == check_verdict::found && answer) {
            std::optional<std::string> value;
            switch (r.map) {
            case map_answer::maildrop:
                value = answer->maildrop;
                break;
            case map_answer::user:
                value = answer->user;
                break;
            case map_answer::forward:
                if (answer->options) value = record_option(*answer->options, "fwd");
                break;
            }
            if (value && !value->empty()) reply = "OK " + *value;
        }
        send(*c, netstring(reply));
    }
    if (!resume || !(c = find_client(number))) return;
    process_input(*c);
    if ((c = find_client(number))) flush_client(*c);
}

void supervisor::retire_if_idle(worker_process& w) {
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
void supervisor::worker_ended(worker_process& w, const std::string& why) {
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
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, w.fd, nullptr);
    ::close(w.fd);
    // A retired worker still running is reaped when its SIGCHLD comes.
    if (w.pid > 0) exited_.push_back(w.pid);
    std::deque<request_ptr> held = std::move(w.in_flight);
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
    for (request_ptr& r : held) deliver(*r, check_verdict::unavailable, nullptr);
    if (was_current && draining_) {
        // No new worker while the service ends: its queue is answered now.
        std::deque<request_ptr> queued = std::move(slots_[slot].queue);
        for (request_ptr& r : queued) deliver(*r, check_verdict::unavailable, nullptr);
    }
    if (was_current && !draining_ && steady::now() >= slots_[slot].restart_at) spawn(slot);
    if (slot < slots_.size()) pump(slot);
    advance_replacement();
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
                exited_.erase(std::remove(exited_.begin(), exited_.end(), pid), exited_.end());
                worker_process* died = nullptr;
                for (auto& [number, w] : workers_)
                    if (w->pid == pid) died = w.get();
                if (!died) continue;
                died->pid = -1;
                std::string how = WIFSIGNALED(status)
                                      ? "killed by signal " + std::to_string(WTERMSIG(status))
                                      : "exit status " + std::to_string(WEXITSTATUS(status));
                worker_ended(*died, how);
            }
            break;
        }
    }
}

void supervisor::tick() {
    const steady::time_point now = steady::now();
    if (accept_paused_ && now >= accept_paused_until_ && !draining_) {
        accept_paused_ = false;
        for (std::size_t i = 0; i < listeners_.size(); ++i)
            watch(listeners_[i].fd, EPOLLIN, tagged(tag_listener, i));
    }
    for (std::size_t i = 0; i < slots_.size(); ++i)
        if (slots_[i].restart_due && !slots_[i].current && !draining_ &&
            now >= slots_[i].restart_at)
            spawn(i);
    std::vector<worker_process*> hung;
    for (auto& [number, w] : workers_)
        if (!w->in_flight.empty() && now - w->in_flight.front()->sent > worker_hang_limit)
            hung.push_back(w.get());
    for (worker_process* w : hung) {
        worker_ended(*w, "it held a request for more than " +
                             std::to_string(worker_hang_limit.count()) + " s");
    }
    if (draining_) return;
    std::vector<client*> idle;
    const auto limit = std::chrono::seconds(settings_.idle_timeout);
    for (auto& [number, c] : clients_)
        if (c->at_workers == 0 && !delayed_.holds(number) && now - c->quiet_since > limit)
            idle.push_back(c.get());
    for (client* c : idle) close_client(*c, "idle for longer than idle_timeout");
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
    watch(check_pipe_, EPOLLIN, tagged(tag_check, 0));
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
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, check_pipe_, nullptr);
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
    if (settings_.listen_http) proxy_hosts_ = resolve_proxy_hosts_logged(settings_.http);
    settings_.listen_saslauthd = before.listen_saslauthd;
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
void supervisor::resize_slots(std::size_t count) {
    if (count == slots_.size()) return;
    std::deque<request_ptr> moved;
    for (std::size_t i = count; i < slots_.size(); ++i) {
        worker_slot& s = slots_[i];
        for (request_ptr& r : s.queue) moved.push_back(std::move(r));
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
    for (request_ptr& r : moved) {
        client* c = find_client(r->client);
        if (!c) continue;
        --c->at_workers;
        const std::string name = r->check.user;
        dispatch(*c, std::move(r), name);
    }
}

// One slot at a time: its worker is replaced by one of the new settings,
// and the next slot's only once the new worker is ready, so that all but
// one worker serve throughout.
void supervisor::advance_replacement() {
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

void supervisor::begin_drain() {
    debug_log("Service: SIGTERM: no new clients; answering what is queued");
    draining_ = true;
    drain_until_ = steady::now() + drain_limit;
    for (listen_socket& l : listeners_) {
        ::epoll_ctl(epoll_, EPOLL_CTL_DEL, l.fd, nullptr);
        ::close(l.fd);
        if (l.made) ::unlink(l.path.c_str());
        l.fd = -1;
    }
    listeners_.clear();
    // No client leaves without an answer it has waited for.
    release_held(steady::time_point::max());
    std::vector<client*> all;
    for (auto& [number, c] : clients_) all.push_back(c.get());
    for (client* c : all) flush_client(*c);
}

bool supervisor::drained() const {
    for (const worker_slot& s : slots_)
        if (!s.queue.empty()) return false;
    for (const auto& [number, w] : workers_)
        if (!w->in_flight.empty()) return false;
    for (const auto& [number, c] : clients_)
        if (!c->out.empty()) return false;
    return true;
}

// The end: what is still queued or held gets a temporary failure, the
// workers their end of input (then SIGKILL after 10 s), the sockets made
// here are removed.
void supervisor::finish() {
    draining_ = true;
    release_held(steady::time_point::max());
    for (worker_slot& s : slots_) {
        std::deque<request_ptr> queued = std::move(s.queue);
        for (request_ptr& r : queued) deliver(*r, check_verdict::unavailable, nullptr);
    }
    for (auto& [number, w] : workers_) {
        std::deque<request_ptr> held = std::move(w->in_flight);
        for (request_ptr& r : held) deliver(*r, check_verdict::unavailable, nullptr);
    }
    std::vector<client*> all;
    for (auto& [number, c] : clients_) all.push_back(c.get());
    for (client* c : all) {
        ::send(c->fd, c->out.data(), c->out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        ::close(c->fd);
    }
    clients_.clear();
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
    if (check_pid_ > 0) {
        ::kill(check_pid_, SIGKILL);
        ::waitpid(check_pid_, nullptr, 0);
    }
    for (listen_socket& l : listeners_) {
        if (l.fd >= 0) ::close(l.fd);
        if (l.made) ::unlink(l.path.c_str());
    }
    listeners_.clear();
    if (signals_ >= 0) ::close(signals_);
    if (epoll_ >= 0) ::close(epoll_);
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
