// A private Redis for the whole-program tests of the state front hosts
// share: Debian's redis-server on loopback at a free port, with its own
// config file and folder and no persistence, killed and removed when the
// test ends however it ends (and with the test process, should that die).
// Also the "site": three quillmar processes on this machine standing in for
// three front hosts, each with its own run folder (throttle table, flush
// file, log) and ini file, sharing the database and the secret.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "directory_harness.h"

namespace qmredis {

inline int free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

class redis_instance {
public:
    // `replica_of`: the port of a Redis to follow from the start (replicaof);
    // `password`: the one it asks for (requirepass).
    explicit redis_instance(const std::string& base, int replica_of = 0, std::string password = "")
        : password_(std::move(password)) {
        std::string pattern = base + "/redis_XXXXXX";
        dir_ = ::mkdtemp(&pattern[0]) ? pattern : "";
        port_ = free_port();
        std::ofstream conf(dir_ + "/redis.conf");
        conf << "port " << port_ << "\nbind 127.0.0.1\nsave \"\"\nappendonly no\ndir " << dir_
             << "\ndaemonize no\nlogfile " << dir_ << "/redis.log\n";
        if (replica_of) conf << "replicaof 127.0.0.1 " << replica_of << "\n";
        if (!password_.empty()) conf << "requirepass " << password_ << "\n";
        conf.close();
        start();
    }
    ~redis_instance() {
        kill();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    redis_instance(const redis_instance&) = delete;
    redis_instance& operator=(const redis_instance&) = delete;

    int port() const { return port_; }
    std::string endpoint() const { return "127.0.0.1:" + std::to_string(port_); }

    // Started (again, at the same port, empty) and answering.
    void start() {
        kill();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
            const std::string conf = dir_ + "/redis.conf";
            ::execlp("redis-server", "redis-server", conf.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (cli({"PING"}) != "PONG\n" && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(cli({"PING"}), "PONG\n") << "redis-server did not start: scripts/deps.sh";
    }

    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    // Stopped (SIGSTOP) or let go on: it takes connections and answers none.
    void pause(bool paused) {
        if (pid_ > 0) ::kill(pid_, paused ? SIGSTOP : SIGCONT);
    }

    // redis-cli's output for one command.
    std::string cli(const std::vector<std::string>& words) const {
        qmtest::child_options o;
        o.args = {"-p", std::to_string(port_)};
        if (!password_.empty()) o.args.insert(o.args.end(), {"-a", password_, "--no-auth-warning"});
        o.args.insert(o.args.end(), words.begin(), words.end());
        o.timeout = std::chrono::seconds(5);
        return qmtest::run_child("/usr/bin/redis-cli", "", o).out;
    }

private:
    std::string password_;
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

inline std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline const std::string bob_ok = "+OK bob /var/mail/bob 0 quota=\"100\"\r\n";
inline const std::string bob_no = "-ERR bob password wrong or not a valid user\r\n";

// Three front hosts over one database and one secret.
class site {
public:
    static constexpr int hosts = 3;

    site() : dir_(w.env().dir()) {
        w.standard_table();
        std::ofstream secret(dir() + "/secret");
        secret << "a secret that every front host of the site holds alike\n";
        secret.close();
        std::filesystem::permissions(dir() + "/secret", std::filesystem::perms::owner_read |
                                                            std::filesystem::perms::owner_write);
        for (int h = 1; h <= hosts; ++h) std::filesystem::create_directory(folder(h));
    }

    const std::string& dir() const { return dir_; }
    std::string folder(int host) const { return dir() + "/host" + std::to_string(host); }

    // Every host's ini file: the throttle, Redis at `endpoints`, and `extra`.
    void write_inis(const std::string& endpoints, const std::string& extra) {
        for (int h = 1; h <= hosts; ++h) {
            std::ofstream ini(folder(h) + "/quillmar.ini");
            ini << qmdir::full_ini << "default_pass_scheme PLAIN\n"
                << "auth_failure_table " << folder(h) << "/table\n"
                << "cache_flush_path " << folder(h) << "/flush\n"
                << "log_path " << folder(h) << "/log\n"
                << "shared_redis " << endpoints << "\nshared_secret_file " << dir()
                << "/secret\n"
                // Generous: the machine that runs the tests is shared.
                << "shared_redis_timeout 1000\n"
                << extra;
        }
    }

    qmtest::child_options options(int host, std::vector<std::string> more = {}) const {
        std::vector<std::string> args = {"-config", folder(host) + "/quillmar.ini"};
        args.insert(args.end(), more.begin(), more.end());
        return w.options(args);
    }

    std::string log(int host) const { return read_text(folder(host) + "/log"); }

    // How many lines of the host's log hold `text`.
    int log_count(int host, const std::string& text) const {
        std::istringstream in(log(host));
        std::string line;
        int count = 0;
        while (std::getline(in, line))
            if (line.find(text) != std::string::npos) ++count;
        return count;
    }

    qmdir::world w;

private:
    std::string dir_;
};

}  // namespace qmredis
