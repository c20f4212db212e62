// The clients' connections: accepting within max_clients and the
// descriptors there are, reading a bounded amount a turn, writing what the
// socket takes and ending clients that read no answers or stay idle.
#include "service/client_room.h"

#include <sodium.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "config/log.h"

namespace {

using steady = std::chrono::steady_clock;

// Requests one client may have at the workers before its further lines
// wait unread: no client fills every queue alone.
constexpr std::size_t client_window = 32;
// Answers a client has not read beyond this end the connection.
constexpr std::size_t client_output_limit = 4u << 20;

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

}  // namespace

client_room::client* client_room::find_client(std::uint64_t number) {
    auto found = clients_.find(number);
    return found == clients_.end() ? nullptr : found->second.get();
}

bool client_room::open_listeners() {
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
    if (!set_.open()) {
        error_log("Service: cannot set up the clients' event loop: %s", std::strerror(errno));
        return false;
    }
    loop_.watch(set_.fd(), EPOLLIN, watch_tag::client_set, 0);
    for (std::size_t i = 0; i < listeners_.size(); ++i) {
        loop_.watch(listeners_[i].fd, EPOLLIN, watch_tag::listener, i);
        debug_log("Service: listening on %s (%s)", listeners_[i].path.c_str(),
                  protocol_name(listeners_[i].protocol));
    }
    return true;
}

void client_room::resolve_proxy_hosts() {
    if (settings_.listen_http) proxy_hosts_ = resolve_proxy_hosts_logged(settings_.http);
}

void client_room::on_listener(std::size_t index) {
    if (draining_ || index >= listeners_.size()) return;
    const listen_socket& listener = listeners_[index];
    for (int i = 0; i < 64; ++i) {
        const int fd = ::accept4(listener.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE) {
                error_log("Service: no descriptor for a new client (%s): accepting paused",
                          std::strerror(errno));
                for (const listen_socket& l : listeners_) loop_.forget(l.fd);
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
        set_.watch(fd, c->events, watch_tag::client, c->number);
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

bool client_room::client_reading(const client& c) const {
    return !draining_ && !c.ended && !c.closing && c.at_workers < client_window &&
           (c.protocol == service_protocol::auth || c.at_workers == 0);
}

void client_room::update_client(client& c) {
    std::uint32_t wanted = 0;
    if (client_reading(c)) wanted |= EPOLLIN;
    if (!c.out.empty()) wanted |= EPOLLOUT;
    if (wanted == c.events) return;
    c.events = wanted;
    set_.change(c.fd, wanted, watch_tag::client, c.number);
}

void client_room::close_client(client& c, const char* why) {
    if (why)
        debug_log("Service: client %llu closed: %s", static_cast<unsigned long long>(c.number),
                  why);
    set_.forget(c.fd);
    ::close(c.fd);
    if (!c.in.empty()) sodium_memzero(&c.in[0], c.in.size());
    delayed_.forget(c.number);
    clients_.erase(c.number);
}

void client_room::send(client& c, const std::string& text) {
    c.out += text;
    flush_at_turn_end(c);
}

void client_room::flush_at_turn_end(client& c) {
    if (c.queued) return;
    c.queued = true;
    unflushed_.push_back(c.number);
}

void client_room::flush_queued() {
    std::vector<std::uint64_t> due;
    due.swap(unflushed_);
    for (std::uint64_t number : due) {
        client* c = find_client(number);
        if (!c) continue;
        c->queued = false;
        flush_client(*c);
    }
    if (unflushed_.empty()) {
        due.clear();
        unflushed_.swap(due);  // its room kept for the next turn
    }
}

// A refused check is answered only after auth_failure_delay, so that a
// guesser gets few tries a connection; the worker is free at once. nginx's
// auth_http is not held: its answer tells nginx to wait (Auth-Wait). A
// database that cannot answer is no guess and is answered at once.
bool client_room::hold_refusal(const client& c, check_verdict verdict, const std::string& text) {
    if (verdict != check_verdict::refused || settings_.auth_failure_delay == 0 || draining_)
        return false;
    delayed_.hold(c.number, text,
                  steady::now() + std::chrono::seconds(settings_.auth_failure_delay));
    return true;
}

void client_room::release_held(steady::time_point now) {
    delayed_.release(now, [this](std::uint64_t number, const std::string& text) {
        client* c = find_client(number);
        if (!c) return;
        c->quiet_since = steady::now();
        send(*c, text);
    });
}

void client_room::drain() {
    pause_reading(false);
    draining_ = true;
    release_held(steady::time_point::max());
}

// Writes what it can; the rest waits for the socket. Ends the client when
// it is done with or cannot take its answers.
void client_room::flush_client(client& c) {
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
    const bool answered = answered_all(c);
    if (c.out.empty() && (c.closing || ((c.ended || draining_) && answered))) {
        close_client(c, c.closing ? "closed after its last answer" : nullptr);
        return;
    }
    update_client(c);
}

void client_room::on_clients() {
    epoll_event events[64];
    const int n = set_.wait(events, 64, 0);
    for (int i = 0; i < n; ++i)
        on_client(event_loop::number_of(events[i].data.u64), events[i].events);
}

void client_room::pause_reading(bool paused) {
    if (draining_) paused = false;
    if (paused == reading_paused_) return;
    reading_paused_ = paused;
    loop_.change(set_.fd(), paused ? 0u : static_cast<std::uint32_t>(EPOLLIN),
                 watch_tag::client_set, 0);
}

void client_room::on_client(std::uint64_t number, std::uint32_t events) {
    client* c = find_client(number);
    if (!c) return;
    if (events & EPOLLOUT) {
        flush_client(*c);
        if (!find_client(number)) return;
    }
    if (events & EPOLLIN) {
        read_client(*c);
        return;
    }
    if (events & (EPOLLHUP | EPOLLERR)) close_client(*c, "the client hung up");
}

void client_room::read_client(client& c) {
    char chunk[16384];
    bool ended = false;
    // A bounded amount a turn, so that one client cannot hold the loop.
    for (int i = 0; i < 8 && c.in.size() <= settings_.max_line + sizeof chunk; ++i) {
        const ssize_t n = ::recv(c.fd, chunk, sizeof chunk, 0);
        if (n > 0) {
            c.in.append(chunk, static_cast<std::size_t>(n));
            sodium_memzero(chunk, static_cast<std::size_t>(n));
            c.quiet_since = steady::now();
            // A short read took all there was: no second call to learn it.
            if (static_cast<std::size_t>(n) < sizeof chunk) break;
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
        if (answered_all(c)) {
            close_client(c, "the client closed the connection");
            return;
        }
    }
    update_client(c);
}

void client_room::hand(client& c, std::unique_ptr<client_request> r) {
    r->asker = c.number;
    ++c.at_workers;
    pool_.submit(std::move(r));
}

bool client_room::still_asked(const pool_request& r) const { return clients_.count(r.asker) != 0; }

// The pool's verdict, if the client is still there: its answer, then the
// client's further requests read on.
void client_room::answered(pool_request& r, check_verdict verdict, const worker_answer* answer,
                           bool resume) {
    client* c = find_client(r.asker);
    if (!c) return;
    if (c->at_workers > 0 && --c->at_workers == 0) c->quiet_since = steady::now();
    const std::uint64_t number = c->number;
    deliver(*c, static_cast<const client_request&>(r), verdict, answer);
    if (!resume || !(c = find_client(number))) return;
    process_input(*c);
    // Its answers leave at the turn's end; one that ends it (its last
    // answer written) is closed there.
    if ((c = find_client(number))) flush_at_turn_end(*c);
}

void client_room::resume_accepting(steady::time_point now) {
    if (accept_paused_ && now >= accept_paused_until_ && !draining_) {
        accept_paused_ = false;
        for (std::size_t i = 0; i < listeners_.size(); ++i)
            loop_.watch(listeners_[i].fd, EPOLLIN, watch_tag::listener, i);
    }
}

void client_room::close_idle(steady::time_point now) {
    // A paused client's request may wait unread in its socket: not idle.
    if (draining_ || reading_paused_) return;
    std::vector<client*> idle;
    const auto limit = std::chrono::seconds(settings_.idle_timeout);
    for (auto& [number, c] : clients_)
        if (answered_all(*c) && now - c->quiet_since > limit) idle.push_back(c.get());
    for (client* c : idle) close_client(*c, "idle for longer than idle_timeout");
}

void client_room::close_listeners() {
    for (listen_socket& l : listeners_) {
        if (l.fd >= 0) {
            loop_.forget(l.fd);
            ::close(l.fd);
        }
        if (l.made) ::unlink(l.path.c_str());
        l.fd = -1;
    }
    listeners_.clear();
}

void client_room::flush_all() {
    std::vector<client*> all;
    for (auto& [number, c] : clients_) all.push_back(c.get());
    for (client* c : all) flush_client(*c);
}

bool client_room::written() const {
    for (const auto& [number, c] : clients_)
        if (!c->out.empty()) return false;
    return true;
}

void client_room::finish() {
    std::vector<client*> all;
    for (auto& [number, c] : clients_) all.push_back(c.get());
    for (client* c : all) {
        ::send(c->fd, c->out.data(), c->out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        ::close(c->fd);
    }
    clients_.clear();
}
