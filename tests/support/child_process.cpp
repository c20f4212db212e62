#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace qmtest {
namespace {

using clock_type = std::chrono::steady_clock;

void make_pipe(int fds[2]) {
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
}

std::vector<std::string> child_environment(const child_options& options) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const auto& kv : options.env)
            if (entry.compare(0, kv.first.size() + 1, kv.first + "=") == 0) replaced = true;
        if (!replaced) env.push_back(entry);
    }
    for (const auto& kv : options.env) env.push_back(kv.first + "=" + kv.second);
    return env;
}

pid_t spawn(const std::string& program, const child_options& options, int& in, int& out, int& err) {
    int pin[2], pout[2], perr[2];
    make_pipe(pin);
    make_pipe(pout);
    make_pipe(perr);
    std::vector<std::string> args;
    args.push_back(options.argv0.empty() ? program : options.argv0);
    args.insert(args.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    std::vector<std::string> env = child_environment(options);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(pin[0], 0);
        ::dup2(pout[1], 1);
        ::dup2(perr[1], 2);
        if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(126);
        if (options.in_child) options.in_child();
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(pin[0]);
    ::close(pout[1]);
    ::close(perr[1]);
    in = pin[1];
    // Non-blocking, so that a long input never stalls us while the child
    // waits for us to read its output.
    ::fcntl(in, F_SETFL, ::fcntl(in, F_GETFL) | O_NONBLOCK);
    out = pout[0];
    err = perr[0];
    return pid;
}

void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Moves data between us and the child until `done` says so or time runs out.
// Returns false on timeout.
template <typename Done>
bool pump(int& in, std::string& to_write, int& out, std::string& out_text, int& err,
          std::string& err_text, clock_type::time_point deadline, Done done) {
    while (!done()) {
        std::vector<pollfd> fds;
        if (in >= 0 && !to_write.empty()) fds.push_back({in, POLLOUT, 0});
        if (out >= 0) fds.push_back({out, POLLIN, 0});
        if (err >= 0) fds.push_back({err, POLLIN, 0});
        if (fds.empty()) return true;
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
        if (left.count() <= 0) return false;
        int n = ::poll(fds.data(), fds.size(), static_cast<int>(left.count()));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        for (const pollfd& p : fds) {
            if (!p.revents) continue;
            if (p.fd == in) {
                ssize_t w = ::write(in, to_write.data(), to_write.size());
                if (w < 0) {
                    if (errno == EAGAIN || errno == EINTR) continue;
                    close_fd(in);  // the child stopped reading (EPIPE)
                } else {
                    to_write.erase(0, static_cast<std::size_t>(w));
                }
            } else {
                char buf[65536];
                ssize_t r = ::read(p.fd, buf, sizeof buf);
                if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                if (r <= 0) {
                    if (p.fd == out)
                        close_fd(out);
                    else
                        close_fd(err);
                } else if (p.fd == out) {
                    out_text.append(buf, static_cast<std::size_t>(r));
                } else {
                    err_text.append(buf, static_cast<std::size_t>(r));
                }
            }
        }
    }
    return true;
}

void reap(pid_t pid, child_result& result, clock_type::time_point deadline) {
    int status = 0;
    for (;;) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0 && errno != EINTR) return;
        if (clock_type::now() > deadline) {
            result.timed_out = true;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        ::usleep(2000);
    }
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
}

struct ignore_sigpipe {
    ignore_sigpipe() { std::signal(SIGPIPE, SIG_IGN); }
} ignore_sigpipe_once;

}  // namespace

child_result run_child(const std::string& program, const std::string& input,
                       const child_options& options) {
    child_result result;
    int in, out, err;
    pid_t pid = spawn(program, options, in, out, err);
    auto deadline = clock_type::now() + options.timeout;
    std::string to_write = input;
    bool ok = pump(in, to_write, out, result.out, err, result.err, deadline,
                   [&] { return in >= 0 && to_write.empty(); });
    close_fd(in);
    if (ok)
        ok = pump(in, to_write, out, result.out, err, result.err, deadline,
                  [&] { return out < 0 && err < 0; });
    if (!ok) {
        result.timed_out = true;
        ::kill(pid, SIGKILL);
    }
    close_fd(out);
    close_fd(err);
    reap(pid, result, deadline + std::chrono::seconds(5));
    return result;
}

child_session::child_session(const std::string& program, const child_options& options) {
    pid_ = spawn(program, options, in_, out_, err_);
}

child_session::~child_session() {
    if (pid_ > 0) {
        close_fd(in_);
        ::kill(pid_, SIGKILL);
        int status;
        ::waitpid(pid_, &status, 0);
    }
    close_fd(out_);
    close_fd(err_);
}

bool child_session::write(const std::string& bytes) {
    std::string to_write = bytes;
    auto deadline = clock_type::now() + std::chrono::seconds(20);
    // Its output is drained alongside, kept for read_line, so that a
    // talkative child never blocks while we write.
    bool ok = pump(in_, to_write, out_, pending_out_, err_, err_text_, deadline,
                   [&] { return in_ < 0 || to_write.empty(); });
    return ok && in_ >= 0;
}

std::string child_session::read_line(std::chrono::milliseconds timeout) {
    auto deadline = clock_type::now() + timeout;
    std::string nothing;
    int none = -1;
    pump(none, nothing, out_, pending_out_, err_, err_text_, deadline,
         [&] { return out_ < 0 || pending_out_.find('\n') != std::string::npos; });
    std::size_t lf = pending_out_.find('\n');
    std::string line;
    if (lf != std::string::npos) {
        line = pending_out_.substr(0, lf + 1);
        pending_out_.erase(0, lf + 1);
    } else if (out_ < 0) {
        line.swap(pending_out_);
    }
    return line;
}

std::vector<std::string> child_session::read_answer(std::chrono::milliseconds timeout) {
    std::vector<std::string> lines;
    for (;;) {
        std::string line = read_line(timeout);
        if (line.empty()) break;
        lines.push_back(line);
        if (line.rfind("+OK", 0) == 0 || line.rfind("-ERR", 0) == 0) break;
    }
    return lines;
}

void child_session::close_stdin() { close_fd(in_); }

child_result child_session::finish(std::chrono::milliseconds timeout) {
    child_result result;
    close_fd(in_);
    auto deadline = clock_type::now() + timeout;
    result.out.swap(pending_out_);
    std::string nothing;
    if (!pump(in_, nothing, out_, result.out, err_, err_text_, deadline,
              [&] { return out_ < 0 && err_ < 0; })) {
        result.timed_out = true;
        ::kill(pid_, SIGKILL);
    }
    result.err.swap(err_text_);
    close_fd(out_);
    close_fd(err_);
    reap(pid_, result, deadline + std::chrono::seconds(5));
    pid_ = -1;
    return result;
}

std::string capture_stdout(const std::function<void()>& fn) {
    std::fflush(stdout);
    std::FILE* sink = std::tmpfile();
    if (!sink) throw std::runtime_error("tmpfile failed");
    int saved = ::dup(1);
    ::dup2(::fileno(sink), 1);
    try {
        fn();
    } catch (...) {
        std::fflush(stdout);
        ::dup2(saved, 1);
        ::close(saved);
        std::fclose(sink);
        throw;
    }
    std::fflush(stdout);
    ::dup2(saved, 1);
    ::close(saved);
    std::string text;
    std::rewind(sink);
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, sink)) > 0) text.append(buf, n);
    std::fclose(sink);
    return text;
}

}  // namespace qmtest
