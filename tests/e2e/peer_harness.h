// Real peers for the whole-program tests of the squid and checkpassword
// protocols: a private instance of a Debian program (squid, Dovecot, a
// Python HTTP server) started in a folder of the test's own on loopback, and
// stopped when the test ends, or when the test process dies (the instance
// runs under a shell that the kernel signals when its parent goes). A
// missing program skips the test, or fails it under the test command.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/child_process.h"
#include "support/db_servers.h"

namespace qmpeer {

// True when every program is here; otherwise the test is skipped by the
// caller (GTEST_SKIP in the test body), or failed here when the test
// command requires the peers.
inline bool programs_here(const std::vector<std::string>& paths, std::string& missing) {
    for (const std::string& path : paths) {
        if (::access(path.c_str(), X_OK) == 0) continue;
        missing = path + " is not installed (scripts/deps.sh installs it)";
        if (qmtest::servers_required()) ADD_FAILURE() << missing;
        return false;
    }
    return true;
}

// A loopback port nobody listens on now.
inline int free_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

inline bool port_answers(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

inline bool wait_until(const std::function<bool()>& done,
                       std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// Run as root, a peer's helpers run as its own user (squid's proxy,
// Dovecot's dovecot), which must read the settings and the database and
// write the log: the folder is given to it, as docs/squid.md asks of a
// deployment. Folders above it must let it pass.
inline void hand_to(const std::string& dir, const char* user) {
    if (::getuid() != 0) return;
    const passwd* account = ::getpwnam(user);
    if (!account) return;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
        if (::lchown(entry.path().c_str(), account->pw_uid, account->pw_gid) != 0) return;
    if (::chown(dir.c_str(), account->pw_uid, account->pw_gid) != 0) return;
    ::chmod(dir.c_str(), 0755);
}

// One private instance. The program runs under a shell that stops it (and
// what it started) on TERM, and gets TERM itself when the test process ends
// however it ends.
class instance {
public:
    instance() = default;
    instance(const instance&) = delete;
    instance& operator=(const instance&) = delete;
    ~instance() { stop(); }

    void start(const std::vector<std::string>& argv,
               const std::vector<std::pair<std::string, std::string>>& env = {},
               const std::string& output = "/dev/null") {
        stop();
        pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ != 0) return;
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(1);
        for (const auto& [key, value] : env) ::setenv(key.c_str(), value.c_str(), 1);
        std::vector<std::string> words = {
            "/bin/sh", "-c",
            "trap 'kill -TERM $pid 2>/dev/null; wait $pid; kill -KILL 0' TERM; \"$@\" & pid=$!; "
            "wait $pid",
            "peer"};
        words.insert(words.end(), argv.begin(), argv.end());
        std::vector<char*> args;
        for (std::string& w : words) args.push_back(&w[0]);
        args.push_back(nullptr);
        FILE* out = std::freopen(output.c_str(), "a", stdout);
        if (out) ::dup2(1, 2);
        ::execv("/bin/sh", args.data());
        ::_exit(127);
    }

    // TERM to the shell, which ends the program and then its whole group;
    // KILL to the group after 20 s.
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) {
                ::kill(-pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::kill(-pid_, SIGKILL);
        pid_ = -1;
    }

    bool running() const { return pid_ > 0 && ::kill(pid_, 0) == 0; }

private:
    pid_t pid_ = -1;
};

// A local HTTP server as the proxy's target: Debian's Python serving one
// file from a folder of its own.
class http_target {
public:
    explicit http_target(const std::string& dir) : dir_(dir) {
        std::filesystem::create_directories(dir_);
        std::FILE* page = std::fopen((dir_ + "/index.html").c_str(), "w");
        if (page) {
            std::fputs("hello\n", page);
            std::fclose(page);
        }
        port_ = free_port();
        server_.start({"/usr/bin/python3", "-m", "http.server", "--bind", "127.0.0.1",
                       std::to_string(port_), "--directory", dir_});
        ready_ = wait_until([&] { return port_answers(port_); });
    }
    bool ready() const { return ready_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/index.html"; }

private:
    std::string dir_;
    int port_ = -1;
    bool ready_ = false;
    instance server_;
};

inline std::string read_text(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return "";
    std::string text;
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, n);
    std::fclose(file);
    return text;
}

}  // namespace qmpeer
