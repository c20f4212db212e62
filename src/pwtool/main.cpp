// quillmar-pw: makes and tests the stored password values the authenticator
// verifies. The password comes from standard input only, never from the
// command line, where every user of the machine can read it.
//
//   quillmar-pw [-s SCHEME] [-r COST] [-m KIB]   prints {SCHEME}value
//   quillmar-pw -t STORED [-s SCHEME] [-w]       exit 0 match, 1 no match, 2 bad value
//   quillmar-pw -l                               lists the schemes
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "schemes/schemes.h"

namespace {

const char usage_text[] =
    "usage: quillmar-pw [-s SCHEME] [-r COST] [-m KIB]   make a stored value\n"
    "       quillmar-pw -t STORED [-s SCHEME] [-w]       test a password against it\n"
    "       quillmar-pw -l                               list the schemes\n"
    "The password is read from standard input. -s names the scheme to make (default\n"
    "ARGON2ID) or, with -t, the scheme of a value without a {SCHEME} prefix; -r sets\n"
    "the cost (Argon2 passes, bcrypt log2 rounds, SHA-crypt and PBKDF2 rounds,\n"
    "yescrypt 1..11); -m the Argon2 memory in KiB; -w lets -t verify weak schemes.\n";

int usage() {
    std::fputs(usage_text, stderr);
    return 2;
}

termios saved_terminal;
bool echo_off = false;

void restore_echo() {
    if (echo_off) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_terminal);
    echo_off = false;
}

// An interrupt at the prompt must not leave the terminal without echo.
extern "C" void interrupted(int) {
    if (echo_off) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_terminal);
    _exit(130);
}

bool read_line(std::string& line) {
    if (!std::getline(std::cin, line) && line.empty()) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

// Echo goes off before the prompt shows, so that nothing typed after it is
// echoed or thrown away with the input pending before it.
bool prompt(const char* text, std::string& line) {
    termios quiet = saved_terminal;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    echo_off = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    std::fputs(text, stderr);
    std::fflush(stderr);
    bool got = read_line(line);
    restore_echo();
    std::fputs("\n", stderr);
    return got;
}

// Twice without echo on a terminal, so that a typing error is not stored;
// the first line of a pipe otherwise.
bool read_password(bool confirm, std::string& password) {
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_terminal) != 0)
        return read_line(password);
    std::signal(SIGINT, interrupted);
    std::signal(SIGTERM, interrupted);
    if (!prompt("Password: ", password)) return false;
    if (!confirm) return true;
    std::string again;
    if (!prompt("Retype password: ", again)) return false;
    if (again != password) {
        std::fputs("quillmar-pw: the passwords differ\n", stderr);
        return false;
    }
    return true;
}

bool read_count(const char* text, unsigned long& value) {
    char* end = nullptr;
    if (!*text || *text == '-') return false;
    value = std::strtoul(text, &end, 10);
    return *end == '\0';
}

int list_schemes() {
    for (const scheme_listing& s : scheme_list())
        std::printf("%-13s %-6s %s\n", s.name, s.weak ? "weak" : s.makes ? "makes" : "", s.about);
    return 0;
}

int test_value(const std::string& stored, const std::string& scheme, bool allow_weak) {
    std::string password;
    if (!read_password(false, password)) {
        std::fputs("quillmar-pw: no password on standard input\n", stderr);
        return 2;
    }
    verify_options options;
    options.allow_weak = allow_weak;
    verify_result r = verify_password(password, stored, scheme, options);
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
        if (scheme.empty() && stored.compare(0, 1, "{") != 0)
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
    std::string password;
    if (!read_password(true, password)) {
        std::fputs("quillmar-pw: no password read\n", stderr);
        return 1;
    }
    make_result made = make_stored_value(password, params);
    if (!made.value) {
        std::fprintf(stderr, "quillmar-pw: %s\n", made.error);
        return 1;
    }
    std::printf("%s\n", made.value->c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    make_params params;
    std::string scheme, stored;
    bool test = false, list = false, allow_weak = false, cost_given = false;
    int option;
    while ((option = getopt(argc, argv, "s:t:r:m:lwh")) != -1) {
        switch (option) {
        case 's':
            scheme = optarg;
            break;
        case 't':
            test = true;
            stored = optarg;
            break;
        case 'r':
            if (!read_count(optarg, params.cost)) return usage();
            cost_given = true;
            break;
        case 'm':
            if (!read_count(optarg, params.memory_kib)) return usage();
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
    if (test) return test_value(stored, scheme, allow_weak);
    if (!scheme.empty()) params.scheme = scheme;
    return make_value(params);
}
