// The service (-serve) run by the tests: the built binary started in a
// world's folder with the world's data source and an ini file naming its
// sockets there, stopped with SIGTERM when the test ends (and killed when
// the test process dies), and clients of its two protocols over its Unix
// sockets.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "directory_harness.h"

namespace qmsvc {

using namespace std::chrono_literals;

// The user table of the service tests, and its settings.
inline const char* const table_ini =
    "field_username [user]\nfield_password pass\nfield_forward fwd\nfield_maildrop [drop]\n"
    "field_mailmask mask\nodbc_mail_user_table maildb\nodbc_mail_uid 5000\n"
    "domain example.org\n";

inline void fill_table(qmdir::world& w) {
    w.exec(
        "CREATE TABLE maildb ([user] VARCHAR(64), pass VARCHAR(64), fwd VARCHAR(64), "
        "[drop] VARCHAR(64), mask VARCHAR(32));"
        "INSERT INTO maildb VALUES ('alice@example.org', 'wonderland', NULL, "
        "'alice/', NULL);"
        "INSERT INTO maildb VALUES ('bob@example.org', 'builder', 'bob@elsewhere.example', "
        "'bob/', NULL);"
        "INSERT INTO maildb VALUES ('carol@example.org', 'c4r0l', NULL, 'carol/', "
        "'192.168.0.0');");
}

class service {
public:
    // Starts the service with the table's settings, its sockets and `extra`.
    service(qmdir::world& w, const std::string& extra) : w_(w), dir_(w.env().dir()) {
        auth_ = dir_ + "/auth.sock";
        map_ = dir_ + "/map.sock";
        write_ini(extra);
        start();
    }
    ~service() { stop(); }
    service(const service&) = delete;
    service& operator=(const service&) = delete;

    void write_ini(const std::string& extra) {
        std::ofstream(dir_ + "/service.ini")
            << table_ini << "log_path " << dir_ << "/quillmar.log\nlisten_auth " << auth_
            << "\nlisten_socketmap " << map_ << "\nsocketmap_map mailbox maildrop\n"
            << "socketmap_map login user\nsocketmap_map forward forward\n"
            // Refusals at once, but where a test is about their delay.
            << "auth_failure_delay 0\n"
            << extra;
    }

    void start() {
        qmtest::child_options o = w_.options({"-serve", "-config", dir_ + "/service.ini"});
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent) ::_exit(1);
            for (const auto& [key, value] : o.env) ::setenv(key.c_str(), value.c_str(), 1);
            if (::chdir(dir_.c_str()) != 0) ::_exit(1);
            int out = ::open((dir_ + "/service.out").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            ::dup2(out, 1);
            ::dup2(out, 2);
            std::vector<std::string> words = {"quillmar"};
            words.insert(words.end(), o.args.begin(), o.args.end());
            std::vector<char*> argv;
            for (std::string& word : words) argv.push_back(&word[0]);
            argv.push_back(nullptr);
            ::execv(QM_BINARY, argv.data());
            ::_exit(127);
        }
        ready_ = qmpeer::wait_until([&] { return connectable(auth_) && connectable(map_); });
    }

    bool ready() const { return ready_; }
    pid_t pid() const { return pid_; }
    const std::string& auth_socket() const { return auth_; }
    const std::string& map_socket() const { return map_; }
    std::string log() const { return qmpeer::read_text(dir_ + "/quillmar.log"); }

    // SIGTERM; the exit status, or -1 when it had to be killed after 20 s.
    int stop() {
        if (pid_ <= 0) return status_;
        ::kill(pid_, SIGTERM);
        int status = 0;
        const auto end = std::chrono::steady_clock::now() + 20s;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                status = -1;
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
        pid_ = -1;
        status_ = status == -1 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        return status_;
    }

    // The workers: the service's children, but for a reload's check.
    std::vector<pid_t> workers() const {
        std::vector<pid_t> pids;
        std::ifstream children("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) +
                               "/children");
        pid_t child;
        while (children >> child) {
            std::ifstream cmdline("/proc/" + std::to_string(child) + "/cmdline");
            std::string text((std::istreambuf_iterator<char>(cmdline)), {});
            if (text.find("-check") == std::string::npos) pids.push_back(child);
        }
        return pids;
    }

    static bool connectable(const std::string& path) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        return ok;
    }

private:
    qmdir::world& w_;
    std::string dir_, auth_, map_;
    pid_t pid_ = -1;
    int status_ = -1;
    bool ready_ = false;
};

// One connection to a socket of the service.
class connection {
public:
    explicit connection(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~connection() {
        if (fd_ >= 0) ::close(fd_);
    }
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;

    bool open() const { return fd_ >= 0; }
    bool write(const std::string& bytes) {
        return fd_ >= 0 && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                               static_cast<ssize_t>(bytes.size());
    }
    // Reads until `done` holds for what was read, the end, or the timeout.
    template <typename Done>
    std::string read_until(Done done, std::chrono::milliseconds timeout = 10s) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!done(buffer_) && !ended_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[4096];
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0)
                ended_ = true;
            else
                buffer_.append(chunk, static_cast<std::size_t>(n));
        }
        return buffer_;
    }
    // One line without its line feed; "" at the end or the timeout.
    std::string line(std::chrono::milliseconds timeout = 10s) {
        read_until([](const std::string& b) { return b.find('\n') != std::string::npos; }, timeout);
        const std::size_t end = buffer_.find('\n');
        if (end == std::string::npos) return "";
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
    }
    // Whether the service closed the connection, reading what is left.
    bool closed(std::chrono::milliseconds timeout = 10s) {
        read_until([](const std::string&) { return false; }, timeout);
        return ended_;
    }
    std::string& buffer() { return buffer_; }

private:
    int fd_ = -1;
    std::string buffer_;
    bool ended_ = false;
};

// A client of Dovecot's protocol past the handshake, as a client of
// `version` ("1\t0": Postfix and Exim; "1\t2": Dovecot's own).
class auth_client : public connection {
public:
    auth_client(const std::string& path, const std::string& version = "1\t2") : connection(path) {
        const std::string done =
            read_until([](const std::string& b) { return b.find("DONE\n") != std::string::npos; });
        handshake_ = done.substr(0, done.find("DONE\n") + 5);
        buffer().erase(0, handshake_.size());
        write("VERSION\t" + version + "\nCPID\t" + std::to_string(::getpid()) + "\n");
    }
    const std::string& handshake() const { return handshake_; }
    // AUTH PLAIN with an initial response.
    bool plain(unsigned id, const std::string& user, const std::string& password,
               const std::string& extra = "") {
        return write("AUTH\t" + std::to_string(id) + "\tPLAIN\tservice=smtp" + extra +
                     "\tresp=" + base64(std::string(1, '\0') + user + '\0' + password) + "\n");
    }
    static std::string base64(const std::string& data) {
        static const char* digits =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::string out;
        for (std::size_t i = 0; i < data.size(); i += 3) {
            unsigned n = static_cast<unsigned char>(data[i]) << 16;
            if (i + 1 < data.size()) n |= static_cast<unsigned char>(data[i + 1]) << 8;
            if (i + 2 < data.size()) n |= static_cast<unsigned char>(data[i + 2]);
            out += digits[n >> 18 & 63];
            out += digits[n >> 12 & 63];
            out += i + 1 < data.size() ? digits[n >> 6 & 63] : '=';
            out += i + 2 < data.size() ? digits[n & 63] : '=';
        }
        return out;
    }

private:
    std::string handshake_;
};

// A client of the socketmap: one netstring request, one netstring answer.
class map_client : public connection {
public:
    explicit map_client(const std::string& path) : connection(path) {}
    std::string ask(const std::string& request) {
        write(std::to_string(request.size()) + ":" + request + ",");
        return answer();
    }
    std::string answer(std::chrono::milliseconds timeout = 10s) {
        std::string& b = buffer();
        read_until(
            [](const std::string& b) {
                const std::size_t colon = b.find(':');
                return colon != std::string::npos &&
                       b.size() >= colon + 2 + std::stoul("0" + b.substr(0, colon));
            },
            timeout);
        const std::size_t colon = b.find(':');
        if (colon == std::string::npos) return "";
        const std::size_t length = std::stoul("0" + b.substr(0, colon));
        if (b.size() < colon + 2 + length) return "";
        std::string payload = b.substr(colon + 1, length);
        b.erase(0, colon + 2 + length);
        return payload;
    }
};

}  // namespace qmsvc
