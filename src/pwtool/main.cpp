// quillmar-pw: makes and tests the stored password values the authenticator
// verifies. The password comes from standard input only, never from the
// command line, where every user of the machine can read it; so may the
// stored value to test, which for a {PLAIN} value is the password itself.
//
//   quillmar-pw [-s SCHEME] [-r COST] [-m KIB]   prints {SCHEME}value
//   quillmar-pw -t STORED|- [-s SCHEME] [-w]     exit 0 match, 1 no match, 2 bad value
//   quillmar-pw -T FILE [-s SCHEME] [-w]         the same, the stored value read from FILE
//   quillmar-pw -l                               lists the schemes
#include <fcntl.h>
#include <sodium.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "config/number_text.h"
#include "schemes/schemes.h"

namespace {

const char usage_text[] =
    "usage: quillmar-pw [-s SCHEME] [-r COST] [-m KIB]   make a stored value\n"
    "       quillmar-pw -t STORED|- [-s SCHEME] [-w]     test a password against it\n"
    "       quillmar-pw -T FILE [-s SCHEME] [-w]         the same, the value read from FILE\n"
    "       quillmar-pw -l                               list the schemes\n"
    "The password is read from standard input. -t - reads the stored value from\n"
    "there too, the line before the password; -T FILE from the first line of FILE.\n"
    "-s names the scheme to make (default ARGON2ID) or, with -t or -T, the scheme\n"
    "of a value without a {SCHEME} prefix; -r sets the cost (Argon2 passes, bcrypt\n"
    "log2 rounds, SHA-crypt and PBKDF2 rounds, yescrypt 1..11); -m the Argon2\n"
    "memory in KiB; -w lets -t and -T verify weak schemes.\n";

int usage() {
    std::fputs(usage_text, stderr);
    return 2;
}

// A password or a stored value, in memory of our own that is wiped when it
// grows and when it goes: a std::string or a stream would leave copies in
// memory given back to the heap.
class secret {
public:
    secret() = default;
    ~secret() { wipe(); }
    secret(const secret&) = delete;
    secret& operator=(const secret&) = delete;

    void push_back(char c) {
        if (size_ == capacity_) grow();
        data_[size_++] = c;
    }
    void pop_back() { data_[--size_] = '\0'; }
    void clear() {
        wipe();
        size_ = 0;
    }
    bool empty() const { return size_ == 0; }
    std::size_t size() const { return size_; }
    char back() const { return data_[size_ - 1]; }
    std::string_view view() const { return {data_.get(), size_}; }
    bool operator==(const secret& other) const { return view() == other.view(); }

private:
    void wipe() {
        if (data_) sodium_memzero(data_.get(), capacity_);
    }
    void grow() {
        const std::size_t bigger = capacity_ ? 2 * capacity_ : 128;
        std::unique_ptr<char[]> more(new char[bigger]);
        if (size_) std::memcpy(more.get(), data_.get(), size_);
        wipe();
        data_ = std::move(more);
        capacity_ = bigger;
    }

    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0, capacity_ = 0;
};

// Wipes a text the schemes handed back (a made value; a {PLAIN} one is the
// password) before its memory goes back to the heap.
void wipe(std::string& text) {
    text.resize(text.capacity());
    sodium_memzero(&text[0], text.size());
}

// A password or a stored value has no business being longer; a file with no
// line end (a device named by mistake) must not fill the memory.
constexpr std::size_t longest_line = 64 * 1024;

enum class line_read { line, none, too_long, failed };

// One line of fd without its line end, read a byte at a time: no buffer
// keeps a copy, and nothing past the line feed is taken from a pipe whose
// next line is the password. `none` when the input ended before any byte.
line_read read_line(int fd, secret& line) {
    line.clear();
    bool any = false;
    for (;;) {
        char c;
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return line_read::failed;
        if (n == 0) break;
        any = true;
        if (c == '\n') break;
        if (line.size() == longest_line) return line_read::too_long;
        line.push_back(c);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return any ? line_read::line : line_read::none;
}

// ---------------------------------------------------------------- terminal

// Echo is off while a prompt waits for its answer. Every signal that ends
// the tool or stops it puts the terminal back first, so that the shell the
// user returns to echoes again; a stopped prompt that is continued in the
// foreground switches echo off again and shows its prompt anew.
termios saved_terminal, quiet_terminal;
volatile std::sig_atomic_t echo_off = 0;
const char* volatile shown_prompt = "";

// Those whose default action ends the process and that come from outside
// it; a fault of the tool itself (SIGSEGV and the like) is left to its
// default.
const int ending_signals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGPIPE, SIGALRM,
                              SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF};

using signal_action = struct sigaction;

sigset_t terminal_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : ending_signals) sigaddset(&set, s);
    sigaddset(&set, SIGTSTP);
    return set;
}

void say(const char* text) {
    for (std::size_t left = std::strlen(text); left > 0;) {
        const ssize_t n = ::write(STDERR_FILENO, text, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text += n;
        left -= static_cast<std::size_t>(n);
    }
}

extern "C" void on_ending_signal(int signal) {
    if (echo_off) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_terminal);
        say("\n");
    }
    // No default action: SIGQUIT's would write a core holding the password.
    _exit(128 + signal);
}

extern "C" void on_stop_signal(int) {
    const int saved_errno = errno;
    const bool quiet = echo_off;
    if (quiet) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_terminal);
    // Stopped by the default action, as a shell expects; this handler takes
    // over again once the tool is continued.
    signal_action stop{}, mine{};
    stop.sa_handler = SIG_DFL;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGTSTP, &stop, &mine);
    sigset_t only, before;
    sigemptyset(&only);
    sigaddset(&only, SIGTSTP);
    raise(SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &only, &before);
    sigprocmask(SIG_SETMASK, &before, nullptr);
    sigaction(SIGTSTP, &mine, nullptr);
    if (quiet) {
        // What was typed before the stop went with the flush above.
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet_terminal);
        say("\n");
        say(shown_prompt);
    }
    errno = saved_errno;
}

// A signal ignored when the tool started (SIGHUP under nohup) stays ignored.
void catch_signal(int signal, void (*handler)(int)) {
    signal_action action{}, before{};
    if (sigaction(signal, nullptr, &before) != 0 || before.sa_handler == SIG_IGN) return;
    action.sa_mask = terminal_signals();
    action.sa_flags = SA_RESTART;
    action.sa_handler = handler;
    sigaction(signal, &action, nullptr);
}

void catch_terminal_signals() {
    for (int s : ending_signals) catch_signal(s, on_ending_signal);
    catch_signal(SIGTSTP, on_stop_signal);
}

// The switch and the flag change together, out of the handlers' reach.
void switch_echo(bool off) {
    const sigset_t block = terminal_signals();
    sigset_t before;
    sigprocmask(SIG_BLOCK, &block, &before);
    if (off) {
        echo_off = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet_terminal) == 0;
    } else if (echo_off) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_terminal);
        echo_off = 0;
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

bool on_terminal() {
    static const int known = [] {
        if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_terminal) != 0) return 0;
        quiet_terminal = saved_terminal;
        quiet_terminal.c_lflag &= static_cast<tcflag_t>(~ECHO);
        catch_terminal_signals();
        return 1;
    }();
    return known != 0;
}

// Echo goes off before the prompt shows, so that nothing typed after it is
// echoed or thrown away with the input pending before it.
line_read prompt(const char* text, secret& line) {
    shown_prompt = text;
    switch_echo(true);
    say(text);
    const line_read got = read_line(STDIN_FILENO, line);
    switch_echo(false);
    say("\n");
    return got;
}

// ---------------------------------------------------------------- reading

// Says why a line was not read; true when it was.
bool line_or_reason(line_read got, const char* what, const char* where) {
    switch (got) {
    case line_read::line:
        return true;
    case line_read::none:
        std::fprintf(stderr, "quillmar-pw: no %s %s\n", what, where);
        break;
    case line_read::too_long:
        std::fprintf(stderr, "quillmar-pw: the %s %s is longer than %zu bytes\n", what, where,
                     longest_line);
        break;
    case line_read::failed:
        std::fprintf(stderr, "quillmar-pw: the %s %s cannot be read: %s\n", what, where,
                     std::strerror(errno));
        break;
    }
    return false;
}

// Twice without echo on a terminal, so that a typing error is not stored;
// the next line of a pipe otherwise.
bool read_password(bool confirm, secret& password) {
    if (!on_terminal())
        return line_or_reason(read_line(STDIN_FILENO, password), "password", "on standard input");
    if (!line_or_reason(prompt("Password: ", password), "password", "typed")) return false;
    if (!confirm) return true;
    secret again;
    if (!line_or_reason(prompt("Retype password: ", again), "password", "typed")) return false;
    if (!(again == password)) {
        std::fputs("quillmar-pw: the passwords differ\n", stderr);
        return false;
    }
    return true;
}

// "-": the line before the password on standard input (asked without echo
// on a terminal, since a {PLAIN} value is the password); otherwise the first
// line of the file.
bool read_stored_value(const std::string& source, secret& stored) {
    if (source == "-") {
        const line_read got =
            on_terminal() ? prompt("Stored value: ", stored) : read_line(STDIN_FILENO, stored);
        return line_or_reason(got, "stored value", "on standard input");
    }
    const int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        std::fprintf(stderr, "quillmar-pw: %s: %s\n", source.c_str(), std::strerror(errno));
        return false;
    }
    const line_read got = read_line(fd, stored);
    ::close(fd);
    return line_or_reason(got, "stored value", "in the file");
}

// Only digits, at least one, above 0 and within range: " -1" would read as
// the largest number, "+3" and "0x10" are no plain numbers.
bool read_count(const char* text, unsigned long& value) {
    std::optional<long long> n = read_number(text, number_form::digits, 1, 4294967295LL);
    if (n) value = static_cast<unsigned long>(*n);
    return n.has_value();
}

int list_schemes() {
    for (const scheme_listing& s : scheme_list())
        std::printf("%-13s %-6s %s\n", s.name, s.weak ? "weak" : s.makes ? "makes" : "", s.about);
    return 0;
}

int test_value(const secret& stored, const std::string& scheme, bool allow_weak) {
    secret password;
    if (!read_password(false, password)) return 2;
    verify_options options;
    options.allow_weak = allow_weak;
    verify_result r = verify_password(password.view(), stored.view(), scheme, options);
    switch (r.outcome) {
    case verify_outcome::match:
        return 0;
    case verify_outcome::mismatch:
        std::fputs("quillmar-pw: no match\n", stderr);
        return 1;
    case verify_outcome::weak_refused:
        std::fprintf(stderr, "quillmar-pw: %s: weak scheme refused (-w verifies it)\n", r.scheme);
        return 2;
    default:
        if (scheme.empty() && stored.view().compare(0, 1, "{") != 0)
            std::fputs("quillmar-pw: the value has no {SCHEME} prefix: name its scheme with -s\n",
                       stderr);
        else
            std::fprintf(stderr, "quillmar-pw: %s%s%s\n", r.scheme, *r.scheme ? ": " : "",
                         r.detail);
        return 2;
    }
}

int make_value(const make_params& params) {
    if (!scheme_known(params.scheme)) {
        std::fprintf(stderr, "quillmar-pw: unknown scheme (-l lists them)\n");
        return 2;
    }
    secret password;
    if (!read_password(true, password)) return 1;
    make_result made = make_stored_value(password.view(), params);
    if (!made.value) {
        std::fprintf(stderr, "quillmar-pw: %s\n", made.error);
        return 1;
    }
    std::printf("%s\n", made.value->c_str());
    std::fflush(stdout);
    wipe(*made.value);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    make_params params;
    std::string scheme, stored_from;
    secret stored;
    bool test = false, list = false, allow_weak = false, cost_given = false;
    int option;
    while ((option = getopt(argc, argv, "s:t:T:r:m:lwh")) != -1) {
        switch (option) {
        case 's':
            scheme = optarg;
            break;
        case 't':
            if (test) return usage();
            test = true;
            if (std::strcmp(optarg, "-") == 0) {
                stored_from = "-";
            } else {
                for (const char* c = optarg; *c; ++c) stored.push_back(*c);
            }
            break;
        case 'T':
            if (test) return usage();
            test = true;
            stored_from = optarg;
            break;
        case 'r':
        case 'm':
            if (!read_count(optarg, option == 'r' ? params.cost : params.memory_kib)) {
                std::fprintf(stderr, "quillmar-pw: -%c takes a whole number above 0, in digits\n",
                             option);
                return usage();
            }
            cost_given = true;
            break;
        case 'l':
            list = true;
            break;
        case 'w':
            allow_weak = true;
            break;
        default:
            return usage();
        }
    }
    if (optind != argc || (list && (test || !scheme.empty() || cost_given || allow_weak)) ||
        (test && cost_given) || (!test && allow_weak))
        return usage();
    if (!schemes_init()) {
        std::fputs("quillmar-pw: libsodium did not start\n", stderr);
        return 2;
    }
    if (list) return list_schemes();
    if (test) {
        if (!stored_from.empty() && !read_stored_value(stored_from, stored)) return 2;
        return test_value(stored, scheme, allow_weak);
    }
    if (!scheme.empty()) params.scheme = scheme;
    return make_value(params);
}
