// A load of mail servers on an authentication socket: N clients connected at
// once over a unix socket, each speaking Dovecot's authentication protocol
// as Postfix and Exim do (the handshake, then AUTH with PLAIN's initial
// response) and checking logins in a loop from a list of users, with right
// and wrong passwords. It knows which answer is right, so it counts wrong
// answers as well as checks per second, latency and the kinds of answers.
//
//   auth_load {--socket PATH | --http ADDRESS:PORT|PATH} --users FILE
//             [--clients N] [--seconds S] [--wrong-every N] [--kill PID --kill-at S]
//             [--run COMMAND --run-at S] [--param NAME[=VALUE]]... [--drain S]
//
// --http speaks nginx's auth_http instead, over TCP to an IPv4 address and
// port or over a unix socket (a path from /), as nginx's mail proxy does:
// each check a connection of its own, its latency counted from the connect,
// the next check connected as soon as the server has closed the last.
//
// The users file holds "user password" lines (the password is the rest of
// the line after one blank or tab); a line with a user alone names one who
// must never be let in. Each client sends every N-th check (--wrong-every, 2
// by default, 0 never) with a wrong password.
//
// --param adds a parameter to every AUTH line (before resp=, which must be
// the last): rip=ADDRESS, secured, or Dovecot's no-penalty, without which
// Dovecot holds back every answer after a failed login for seconds.
//
// --kill sends SIGKILL to a process (a worker of the service) at a given
// second, and --run starts a shell command (one that kills or stops a
// database server) at another; for each, the report gives the failures that
// followed it (temporary failures, requests lost with their connection,
// refused connections), when answers were right again, and when the last
// request asked before it was answered (those queued for a killed worker
// wait for the worker started in its place).
//
// The exit status is 0 when every check had its answer and none was wrong
// or broke the protocol, 1 otherwise, 2 when the load could not run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "auth_load_http.h"

namespace {

using steady = std::chrono::steady_clock;

double seconds_between(steady::time_point from, steady::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

struct user_entry {
    std::string name;
    std::string password;  // empty: a user who must never be let in
};

struct options {
    std::string socket;  // a unix socket's path, or --http's ADDRESS:PORT
    bool http = false;
    bool tcp = false;
    sockaddr_in address{};
    std::string users_file;
    int clients = 200;
    double seconds = 30;
    int wrong_every = 2;
    pid_t kill_pid = 0;
    double kill_at = -1;
    std::string command;
    double run_at = -1;
    double drain = 10;
    std::string params;  // "\tNAME[=VALUE]" for each --param
};

[[noreturn]] void usage(const std::string& why) {
    std::fprintf(stderr,
                 "auth_load: %s\n"
                 "usage: auth_load {--socket PATH | --http ADDRESS:PORT|PATH} --users FILE\n"
                 "                 [--clients N] [--seconds S]\n"
                 "                 [--wrong-every N] [--kill PID --kill-at S]\n"
                 "                 [--run COMMAND --run-at S] [--param NAME[=VALUE]]...\n"
                 "                 [--drain S]\n",
                 why.c_str());
    std::exit(2);
}

double number(const std::string& option, const char* text, double least) {
    char* end = nullptr;
    errno = 0;
    double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(value >= least))
        usage(option + " wants a number of at least " + std::to_string(least) + ", not '" + text +
              "'");
    return value;
}

options parse(int argc, char** argv) {
    options o;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (i + 1 >= argc) usage(option + " needs a value");
        const char* value = argv[++i];
        if (option == "--socket" || option == "--http") {
            if (!o.socket.empty()) usage("one of --socket and --http");
            o.socket = value;
            o.http = option == "--http";
        } else if (option == "--users")
            o.users_file = value;
        else if (option == "--clients")
            o.clients = static_cast<int>(number(option, value, 1));
        else if (option == "--seconds")
            o.seconds = number(option, value, 0.1);
        else if (option == "--wrong-every")
            o.wrong_every = static_cast<int>(number(option, value, 0));
        else if (option == "--kill")
            o.kill_pid = static_cast<pid_t>(number(option, value, 2));
        else if (option == "--kill-at")
            o.kill_at = number(option, value, 0);
        else if (option == "--run")
            o.command = value;
        else if (option == "--run-at")
            o.run_at = number(option, value, 0);
        else if (option == "--param") {
            if (!*value || std::strpbrk(value, "\t\n") || std::strncmp(value, "resp=", 5) == 0)
                usage("--param wants NAME[=VALUE], without a tab, and not resp=");
            o.params += std::string("\t") + value;
        } else if (option == "--drain")
            o.drain = number(option, value, 0);
        else
            usage("unknown option " + option);
    }
    if (o.socket.empty() || o.users_file.empty())
        usage("--socket or --http, and --users, are needed");
    o.tcp = o.http && o.socket[0] != '/';
    if (o.tcp) {
        const std::size_t colon = o.socket.rfind(':');
        const std::string host = o.socket.substr(0, colon);
        o.address.sin_family = AF_INET;
        if (colon == std::string::npos ||
            ::inet_pton(AF_INET, host.c_str(), &o.address.sin_addr) != 1)
            usage("--http wants an IPv4 ADDRESS:PORT or a path, not '" + o.socket + "'");
        const double port = number("--http's port", o.socket.c_str() + colon + 1, 1);
        if (port > 65535) usage("--http's port is out of range");
        o.address.sin_port = htons(static_cast<std::uint16_t>(port));
    } else if (o.socket.size() >= sizeof(sockaddr_un{}.sun_path))
        usage("the socket path is too long");
    if ((o.kill_pid != 0) != (o.kill_at >= 0)) usage("--kill and --kill-at go together");
    if (o.command.empty() != (o.run_at < 0)) usage("--run and --run-at go together");
    return o;
}

std::vector<user_entry> read_users(const std::string& path) {
    std::ifstream in(path);
    if (!in) usage("cannot read " + path);
    std::vector<user_entry> users;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        std::size_t gap = line.find_first_of(" \t");
        if (gap == std::string::npos)
            users.push_back({line, ""});
        else
            users.push_back({line.substr(0, gap), line.substr(gap + 1)});
        // A tab or line feed would end the protocol's field early; a NUL would
        // move PLAIN's fields.
        if (users.back().name.empty() || users.back().name.find('\0') != std::string::npos ||
            users.back().password.find('\0') != std::string::npos)
            usage("a user without a name, or with a NUL byte, in " + path);
    }
    if (users.empty()) usage("no users in " + path);
    return users;
}

std::string base64(const std::string& bytes) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        std::uint32_t n = (std::uint8_t(bytes[i]) << 16) | (std::uint8_t(bytes[i + 1]) << 8) |
                          std::uint8_t(bytes[i + 2]);
        for (int shift : {18, 12, 6, 0}) out += alphabet[(n >> shift) & 63];
    }
    if (i < bytes.size()) {
        std::uint32_t n = std::uint8_t(bytes[i]) << 16;
        if (i + 1 < bytes.size()) n |= std::uint8_t(bytes[i + 1]) << 8;
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += i + 1 < bytes.size() ? alphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::vector<std::string> split_tabs(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

// What happened after a kill or a command: the failures it caused and when
// answers were right again.
struct event {
    event(bool k, std::string w, double a) : kill(k), what(std::move(w)), at(a) {}
    bool kill;  // a SIGKILL, or else the command
    std::string what;
    double at;  // seconds into the load
    bool done = false;
    steady::time_point when;
    int temp = 0, lost = 0, refused = 0;
    bool failed_since = false;
    steady::time_point last_failure, first_right_after;
    bool right_after = false;
    // The last answer to a request asked before it: with more than one
    // worker, other workers' right answers hide whether the requests of the
    // one killed are served again; this does not.
    bool pending_answered = false;
    steady::time_point last_pending_answer;
    pid_t child = 0;
    std::string outcome;

    void failure(steady::time_point now) {
        failed_since = true;
        last_failure = now;
        right_after = false;
    }
    void right(steady::time_point now) {
        if (!right_after) first_right_after = now;
        right_after = true;
    }
};

struct tally {
    long ok = 0, fail = 0, temp = 0, wrong = 0, protocol = 0;
    long disconnects = 0, lost = 0, refused = 0, unanswered = 0;
    std::vector<std::uint32_t> latency_us;
    std::vector<std::string> wrong_examples;
};

enum class state { waiting_to_connect, handshake, idle, asking };

struct client {
    int index = 0;
    int fd = -1;
    state at = state::waiting_to_connect;
    steady::time_point retry_at;
    std::string in, out;
    std::uint32_t next_id = 1;
    long checks = 0;
    bool offers_plain = false;
    // The request in flight.
    std::uint32_t id = 0;
    bool expect_ok = false;
    std::string user;
    bool wrong_password = false;
    steady::time_point sent;
};

class load {
public:
    load(options o, std::vector<user_entry> users)
        : o_(std::move(o)), users_(std::move(users)), clients_(o_.clients) {
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        if (epoll_ < 0) throw std::runtime_error("epoll_create1: " + std::string(strerror(errno)));
        if (o_.kill_at >= 0)
            events_.emplace_back(true, "kill " + std::to_string(o_.kill_pid), o_.kill_at);
        if (o_.run_at >= 0) events_.emplace_back(false, "run '" + o_.command + "'", o_.run_at);
        t_.latency_us.reserve(1 << 20);
    }
    ~load() {
        for (client& c : clients_)
            if (c.fd >= 0) ::close(c.fd);
        ::close(epoll_);
    }

    int run() {
        start_ = steady::now();
        end_ = start_ + std::chrono::microseconds(static_cast<long>(o_.seconds * 1e6));
        for (int i = 0; i < o_.clients; ++i) {
            clients_[i].index = i;
            clients_[i].retry_at = start_;
        }
        steady::time_point give_up =
            end_ + std::chrono::microseconds(static_cast<long>(o_.drain * 1e6));
        std::vector<epoll_event> ready(256);
        for (;;) {
            steady::time_point now = steady::now();
            fire_events(now);
            reap_command();
            if (now >= end_) {
                // No new checks; the ones asked wait for their answers.
                bool waiting = false;
                for (const client& c : clients_) waiting = waiting || c.at == state::asking;
                if (!waiting || now >= give_up) break;
            } else {
                for (client& c : clients_)
                    if (c.at == state::waiting_to_connect && now >= c.retry_at) connect(c, now);
            }
            int n = ::epoll_wait(epoll_, ready.data(), static_cast<int>(ready.size()), 5);
            if (n < 0 && errno != EINTR)
                throw std::runtime_error("epoll_wait: " + std::string(strerror(errno)));
            now = steady::now();
            for (int i = 0; i < n; ++i) {
                client& c = clients_[ready[i].data.u32];
                if (c.fd < 0) continue;
                if (ready[i].events & EPOLLOUT) flush(c, now);
                if (c.fd >= 0 && (ready[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
                    receive(c, now);
            }
        }
        // Checks asked in the last moments are answered after the end; the
        // rate counts them over the time they took, or a slow scheme whose
        // queue drains long after the end would seem faster than it is.
        measured_ = seconds_between(start_, std::max(std::min(steady::now(), end_), last_answer_));
        for (const client& c : clients_)
            if (c.at == state::asking) ++t_.unanswered;
        // A command still running holds the report back a while.
        for (int i = 0; i < 1200 && !reap_command(); ++i) ::usleep(100000);
        for (event& e : events_)
            if (e.child > 0) {
                e.outcome = "still running at the end";
                command_failed_ = true;
            }
        return report();
    }

private:
    void fire_events(steady::time_point now) {
        for (event& e : events_) {
            if (e.done || seconds_between(start_, now) < e.at) continue;
            e.done = true;
            e.when = now;
            if (e.kill) {
                if (::kill(o_.kill_pid, SIGKILL) != 0)
                    e.outcome = "could not be sent: " + std::string(strerror(errno));
            } else {
                e.child = ::fork();
                if (e.child == 0) {
                    // The command's output goes with the report's errors.
                    ::dup2(2, 1);
                    ::execl("/bin/sh", "sh", "-c", o_.command.c_str(), static_cast<char*>(nullptr));
                    ::_exit(127);
                }
                if (e.child < 0) e.outcome = "could not start: " + std::string(strerror(errno));
            }
        }
    }

    // The command runs beside the load; its end is noted when it comes.
    // Returns whether none is left running.
    bool reap_command() {
        auto running = std::find_if(events_.begin(), events_.end(),
                                    [](const event& e) { return e.child > 0; });
        if (running == events_.end()) return true;
        event& e = *running;
        int status = 0;
        if (::waitpid(e.child, &status, WNOHANG) != e.child) return false;
        char text[96];
        std::snprintf(text, sizeof text, "%s %d after %.2f s",
                      WIFEXITED(status) ? "exited" : "died of signal",
                      WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status),
                      seconds_between(e.when, steady::now()));
        e.outcome = text;
        e.child = 0;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) command_failed_ = true;
        return true;
    }

    void failure(steady::time_point now) {
        for (event& e : events_)
            if (e.done) e.failure(now);
    }
    void right(steady::time_point now) {
        for (event& e : events_)
            if (e.done) e.right(now);
    }

    // A unix socket connects at once or not at all: EAGAIN is a full
    // backlog, tried again shortly, like a refusal. A TCP connect still in
    // progress takes the request once it completes (flush waits for
    // EPOLLOUT); one refused then counts as a request lost.
    bool connected(int fd) const {
        if (o_.tcp)
            return ::connect(fd, reinterpret_cast<const sockaddr*>(&o_.address),
                             sizeof o_.address) == 0 ||
                   errno == EINPROGRESS;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, o_.socket.data(), o_.socket.size());
        return ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }

    void connect(client& c, steady::time_point now) {
        c.fd = ::socket(o_.tcp ? AF_INET : AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (c.fd < 0) throw std::runtime_error("socket: " + std::string(strerror(errno)));
        if (!connected(c.fd)) {
            ::close(c.fd);
            c.fd = -1;
            ++t_.refused;
            for (event& e : events_)
                if (e.done) ++e.refused;
            failure(now);
            c.retry_at = now + std::chrono::milliseconds(20);
            return;
        }
        epoll_event watch{};
        watch.events = EPOLLIN;
        watch.data.u32 = static_cast<std::uint32_t>(c.index);
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, c.fd, &watch);
        c.at = state::handshake;
        c.in.clear();
        c.out.clear();
        c.offers_plain = false;
        if (o_.http) return ask(c, now);
        // The client's half of the handshake goes at once; the server's may
        // come before, after or around it.
        send(c, "VERSION\t1\t2\nCPID\t" + std::to_string(::getpid()) + "\n", now);
    }

    void drop(client& c, steady::time_point now) {
        if (c.fd < 0) return;
        ::close(c.fd);
        c.fd = -1;
        if (c.at == state::asking) {
            ++t_.lost;
            for (event& e : events_)
                if (e.done) ++e.lost;
            failure(now);
        }
        c.at = state::waiting_to_connect;
        c.retry_at = now + std::chrono::milliseconds(20);
    }

    void broken(client& c, steady::time_point now, const std::string& why) {
        ++t_.protocol;
        if (t_.wrong_examples.size() < 5) t_.wrong_examples.push_back("protocol: " + why);
        failure(now);
        drop(client_at_rest(c), now);
    }
    // A request lost to a protocol error is counted there, not as lost.
    static client& client_at_rest(client& c) {
        if (c.at == state::asking) c.at = state::idle;
        return c;
    }

    void send(client& c, const std::string& bytes, steady::time_point now) {
        c.out += bytes;
        flush(c, now);
    }

    void flush(client& c, steady::time_point now) {
        while (!c.out.empty()) {
            ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            if (n <= 0) {
                ++t_.disconnects;
                drop(c, now);
                return;
            }
            c.out.erase(0, static_cast<std::size_t>(n));
        }
        epoll_event watch{};
        watch.events = c.out.empty() ? EPOLLIN : EPOLLIN | EPOLLOUT;
        watch.data.u32 = static_cast<std::uint32_t>(c.index);
        ::epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &watch);
    }

    void receive(client& c, steady::time_point now) {
        char chunk[4096];
        ssize_t n = ::recv(c.fd, chunk, sizeof chunk, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        // An auth_http answer ends where the server closes.
        if (n == 0 && o_.http && c.at == state::asking && !c.in.empty()) return http_answer(c, now);
        if (n <= 0) {
            ++t_.disconnects;
            drop(c, now);
            return;
        }
        c.in.append(chunk, static_cast<std::size_t>(n));
        if (o_.http) {
            if (c.in.size() > 65536) return broken(c, now, "an answer longer than 64 KiB");
            return;
        }
        // Dovecot's own limit for a line is 16 KiB.
        if (c.in.size() > 65536 && c.in.find('\n') == std::string::npos)
            return broken(c, now, "a line longer than 64 KiB");
        std::size_t start = 0, end;
        while (c.fd >= 0 && (end = c.in.find('\n', start)) != std::string::npos) {
            std::string line = c.in.substr(start, end - start);
            start = end + 1;
            if (c.at == state::handshake)
                handshake_line(c, line, now);
            else
                answer_line(c, line, now);
        }
        if (c.fd >= 0) c.in.erase(0, start);
    }

    void handshake_line(client& c, const std::string& line, steady::time_point now) {
        std::vector<std::string> f = split_tabs(line);
        if (f[0] == "VERSION" && (f.size() < 2 || f[1] != "1"))
            return broken(c, now, "the server speaks version " + line);
        if (f[0] == "MECH" && f.size() >= 2 && f[1] == "PLAIN") c.offers_plain = true;
        if (f[0] != "DONE") return;
        if (!c.offers_plain) return broken(c, now, "the server offers no PLAIN");
        c.at = state::idle;
        if (now < end_) ask(c, now);
    }

    void ask(client& c, steady::time_point now) {
        const user_entry& u = users_[(c.index + c.checks * clients_.size()) % users_.size()];
        c.wrong_password = o_.wrong_every > 0 && c.checks % o_.wrong_every == o_.wrong_every - 1;
        ++c.checks;
        std::string password = c.wrong_password ? "x" + u.password : u.password;
        c.expect_ok = !u.password.empty() && !c.wrong_password;
        c.user = u.name;
        c.id = c.next_id++;
        c.at = state::asking;
        c.sent = now;
        if (o_.http) return send(c, auth_load_http::request(u.name, password), now);
        send(c,
             "AUTH\t" + std::to_string(c.id) + "\tPLAIN\tservice=smtp" + o_.params +
                 "\tresp=" + base64(std::string(1, '\0') + u.name + '\0' + password) + "\n",
             now);
    }

    void answer_line(client& c, const std::string& line, steady::time_point now) {
        std::vector<std::string> f = split_tabs(line);
        if (c.at != state::asking || f.size() < 2 || f[1] != std::to_string(c.id))
            return broken(c, now, "an answer to no request: " + line);
        bool temp = false;
        for (std::size_t i = 2; i < f.size(); ++i)
            temp = temp || f[i] == "temp" || f[i] == "code=temp_fail";
        if (f[0] != "OK" && f[0] != "FAIL") return broken(c, now, "not OK or FAIL: " + line);
        counted(c, now, f[0] == "OK", temp, line);
        c.at = state::idle;
        if (now < end_) ask(c, now);
    }

    void http_answer(client& c, steady::time_point now) {
        const auth_load_http::answer a = auth_load_http::read(c.in);
        if (a.said == auth_load_http::verdict::broken) return broken(c, now, a.status);
        counted(c, now, a.said == auth_load_http::verdict::ok,
                a.said == auth_load_http::verdict::temporary, "Auth-Status: " + a.status);
        ::close(c.fd);
        c.fd = -1;
        c.at = state::waiting_to_connect;
        c.retry_at = now;
        if (now < end_) connect(c, now);
    }

    // An answer to the check in flight: its kind, its latency, and whether
    // it was the right one.
    void counted(client& c, steady::time_point now, bool ok, bool temp, const std::string& line) {
        if (ok)
            ++t_.ok;
        else if (temp)
            ++t_.temp;
        else
            ++t_.fail;
        t_.latency_us.push_back(static_cast<std::uint32_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(now - c.sent).count()));
        last_answer_ = now;
        for (event& e : events_)
            if (e.done && c.sent < e.when) {
                e.pending_answered = true;
                e.last_pending_answer = now;
            }
        if (temp) {
            for (event& e : events_)
                if (e.done) ++e.temp;
            failure(now);
        } else if (ok != c.expect_ok) {
            ++t_.wrong;
            failure(now);
            if (t_.wrong_examples.size() < 5)
                t_.wrong_examples.push_back(std::string("user ") + c.user + " with " +
                                            (c.wrong_password ? "a wrong" : "its right") +
                                            " password: " + line);
        } else {
            right(now);
        }
    }

    static double percentile(std::vector<std::uint32_t>& v, double share) {
        if (v.empty()) return 0;
        std::size_t k = std::min(v.size() - 1, static_cast<std::size_t>(share * v.size()));
        std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
        return v[k] / 1000.0;
    }

    int report() {
        long checks = t_.ok + t_.fail + t_.temp + t_.wrong;
        std::printf("auth_load: %d clients for %.1f s on %s%s, %zu users, ", o_.clients, measured_,
                    o_.http ? "auth_http at " : "", o_.socket.c_str(), users_.size());
        if (o_.wrong_every > 0)
            std::printf("every %d. password wrong\n", o_.wrong_every);
        else
            std::printf("no password wrong\n");
        std::printf("checks: %ld (%.0f a second)\n", checks,
                    measured_ > 0 ? checks / measured_ : 0.0);
        double p50 = percentile(t_.latency_us, 0.50), p99 = percentile(t_.latency_us, 0.99);
        double most = t_.latency_us.empty()
                          ? 0
                          : *std::max_element(t_.latency_us.begin(), t_.latency_us.end()) / 1000.0;
        std::printf("latency: p50 %.3f ms, p99 %.3f ms, max %.1f ms\n", p50, p99, most);
        // Wrong answers are counted apart, whichever word they had.
        std::printf("answers: OK %ld, FAIL %ld, FAIL temp %ld\n", t_.ok, t_.fail, t_.temp);
        std::printf("wrong answers: %ld\n", t_.wrong);
        // Its own share of the machine, which the service does not have.
        rusage used{};
        ::getrusage(RUSAGE_SELF, &used);
        const double own = used.ru_utime.tv_sec + used.ru_stime.tv_sec +
                           (used.ru_utime.tv_usec + used.ru_stime.tv_usec) / 1e6;
        std::printf("generator: %.1f us of processor time a check\n",
                    checks > 0 ? own * 1e6 / checks : 0.0);
        std::printf(
            "protocol errors: %ld, disconnects: %ld (requests lost %ld), refused connects: %ld, "
            "unanswered: %ld\n",
            t_.protocol, t_.disconnects, t_.lost, t_.refused, t_.unanswered);
        for (const std::string& example : t_.wrong_examples)
            std::printf("  e.g. %s\n", example.c_str());
        for (const event& e : events_) {
            std::printf("%s at %.1f s: ", e.what.c_str(), e.at);
            if (!e.done) {
                std::printf("not reached\n");
                continue;
            }
            if (!e.outcome.empty()) std::printf("%s; ", e.outcome.c_str());
            std::printf(
                "after it %d temporary failures, %d requests lost with their connection, %d "
                "refused connects",
                e.temp, e.lost, e.refused);
            if (e.failed_since)
                std::printf(", the last at +%.3f s", seconds_between(e.when, e.last_failure));
            if (e.pending_answered)
                std::printf("; requests asked before it all answered by +%.3f s",
                            seconds_between(e.when, e.last_pending_answer));
            if (e.right_after)
                std::printf("; answers right again from +%.3f s\n",
                            seconds_between(e.when, e.first_right_after));
            else
                std::printf("; no right answer after it\n");
        }
        bool unreached = false;
        for (const event& e : events_)
            unreached = unreached || !e.done || e.outcome.rfind("could not", 0) == 0;
        if (checks == 0 || unreached || command_failed_) return 2;
        return t_.wrong == 0 && t_.protocol == 0 && t_.unanswered == 0 ? 0 : 1;
    }

    options o_;
    std::vector<user_entry> users_;
    std::vector<client> clients_;
    std::vector<event> events_;
    tally t_;
    int epoll_ = -1;
    steady::time_point start_, end_, last_answer_;
    double measured_ = 0;
    bool command_failed_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    options o = parse(argc, argv);
    std::vector<user_entry> users = read_users(o.users_file);
    ::signal(SIGPIPE, SIG_IGN);
    try {
        load l(std::move(o), std::move(users));
        return l.run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "auth_load: %s\n", e.what());
        return 2;
    }
}
