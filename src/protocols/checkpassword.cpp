#include "protocols/checkpassword.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "config/log.h"
#include "module/record_options.h"

namespace {

// Exit statuses of the interface.
constexpr int refused = 1;
constexpr int called_wrongly = 2;
constexpr int unknown_user = 3;
constexpr int try_again = 111;

bool holds_control(const std::string& value) {
    for (unsigned char c : value)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

// Dovecot's mail location from the mail drop: a drop that names its format
// ("mbox:~/mail:INBOX=/var/mail/bob", "mdbox:/srv/bob") as it is, any other
// as a Maildir. Dovecot refuses a bare path as ambiguous.
std::string mail_location(const std::string& drop) {
    std::size_t colon = drop.find(':');
    bool named = colon != std::string::npos && colon > 0;
    for (std::size_t i = 0; named && i < colon; ++i)
        named = (drop[i] >= 'a' && drop[i] <= 'z') || (drop[i] >= '0' && drop[i] <= '9');
    return named ? drop : "maildir:" + drop;
}

// Reads descriptor 3 to its end, a byte more than the limit at most.
bool read_descriptor_3(std::string& data) {
    if (::fcntl(3, F_GETFD) < 0) {
        error_log("checkpassword: descriptor 3 is not open: exit 2");
        return false;
    }
    data.assign(checkpassword_input_limit + 1, '\0');
    std::size_t got = 0;
    while (got < data.size()) {
        ssize_t n = ::read(3, &data[got], data.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error_log("checkpassword: descriptor 3 cannot be read (%s): exit 2",
                      std::strerror(errno));
            return false;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    // Only what was read is wiped later; the rest never held anything.
    data.resize(got);
    ::close(3);
    return true;
}

// The password leaves memory as soon as it is used.
struct wiped_input {
    std::string data;
    std::optional<checkpassword_input> input;
    ~wiped_input() {
        if (!data.empty()) explicit_bzero(&data[0], data.size());
        if (input && !input->password.empty())
            explicit_bzero(&input->password[0], input->password.size());
    }
};

const char* environment_text(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

// The one login: the exit status, or nothing when the program is to run.
int judge_login(auth_module_table& table, const checkpassword_input& input, bool lookup,
                environment_list& variables) {
    // A lookup's password is empty by design; a login's is no login.
    if (input.user.empty() || (!lookup && input.password.empty()))
        return lookup ? unknown_user : refused;
    if (!(lookup ? table.lookup : table.check)) return try_again;
    if (table.start && !table.start()) {
        error_log("checkpassword: the user directory could not start: exit 111");
        return try_again;
    }
    const char* remote = environment_text("TCPREMOTEIP");
    debug_log("checkpassword: %s of %s for service %s from %s to %s", lookup ? "lookup" : "login",
              input.user.c_str(),
              environment_text("SERVICE") ? environment_text("SERVICE") : "(none)",
              remote ? remote : "(none)",
              environment_text("TCPLOCALIP") ? environment_text("TCPLOCALIP") : "(none)");
    command_words words;
    words[0] = std::string(lookup ? "lookup" : "check");
    words[1] = input.user;
    if (!lookup) {
        words[2] = input.password;
        if (remote) words[3] = std::string(remote);
    }
    auth_result* result = lookup ? table.lookup(words) : table.check(words);
    if (!result) {
        if (table.unavailable && table.unavailable()) return try_again;
        return lookup ? unknown_user : refused;
    }
    std::optional<environment_list> found = checkpassword_environment(*result, mail_uid);
    empty_auth_result(*result);
    if (!found) {
        error_log("checkpassword: a value of %s holds a control character: refused",
                  input.user.c_str());
        return lookup ? unknown_user : refused;
    }
    variables = std::move(*found);
    return 0;
}

}  // namespace

std::optional<checkpassword_input> parse_checkpassword_input(std::string_view data) {
    if (data.size() > checkpassword_input_limit) return std::nullopt;
    std::size_t user_end = data.find('\0');
    if (user_end == std::string_view::npos) return std::nullopt;
    std::size_t password_end = data.find('\0', user_end + 1);
    if (password_end == std::string_view::npos) return std::nullopt;
    return checkpassword_input{std::string(data.substr(0, user_end)),
                               std::string(data.substr(user_end + 1, password_end - user_end - 1))};
}

std::optional<environment_list> checkpassword_environment(const auth_result& record, long uid) {
    if (!record.user || record.user->empty()) return std::nullopt;
    environment_list variables = {{"USER", *record.user}};
    std::string extra;
    auto add = [&](const char* name, const std::string& value) {
        variables.emplace_back(name, value);
        extra += (extra.empty() ? "" : " ") + std::string(name);
    };
    if (record.maildrop && !record.maildrop->empty())
        add("userdb_mail", mail_location(*record.maildrop));
    // Uid 0 is no uid set (odbc_mail_uid absent): the reply then gives its own.
    if (uid > 0) add("userdb_uid", std::to_string(uid));
    if (record.options) {
        std::optional<std::string> quota = record_option(*record.options, "quota");
        if (quota && !quota->empty()) add("userdb_quota_rule", "*:storage=" + *quota);
    }
    if (!extra.empty()) variables.emplace_back("EXTRA", extra);
    for (const auto& variable : variables)
        if (holds_control(variable.second)) return std::nullopt;
    return variables;
}

int serve_checkpassword(auth_module_table& table, const std::vector<std::string>& program,
                        int answer_fd) {
    if (program.empty()) return called_wrongly;
    wiped_input in;
    if (!read_descriptor_3(in.data)) return called_wrongly;
    in.input = parse_checkpassword_input(in.data);
    if (!in.input) {
        error_log(
            "checkpassword: descriptor 3 held no user and password ended by NUL bytes "
            "within %zu bytes: exit 2",
            checkpassword_input_limit);
        return called_wrongly;
    }
    // Dovecot's userdb-only call; AUTHORIZED=2 is the answer, never a request.
    const char* authorized = std::getenv("AUTHORIZED");
    const bool lookup = authorized != nullptr;
    if (lookup && std::strcmp(authorized, "1") != 0) {
        error_log("checkpassword: AUTHORIZED=%s is no request: exit 2", authorized);
        return called_wrongly;
    }
    if (lookup && std::getenv("CREDENTIALS_LOOKUP")) {
        error_log(
            "checkpassword: a lookup of the stored password (a mechanism other than "
            "plain text) is not served: exit 2");
        return called_wrongly;
    }

    environment_list variables;
    int status = try_again;
    try {
        status = judge_login(table, *in.input, lookup, variables);
    } catch (const std::exception& error) {
        error_log("checkpassword: the login failed (%s): exit 111", error.what());
        return try_again;
    } catch (...) {
        error_log("checkpassword: the login failed (an unknown fault): exit 111");
        return try_again;
    }
    if (status != 0) return status;

    // The connection is closed before the program replaces this process,
    // and only once should the program not start.
    if (table.cleanup) table.cleanup();
    table.cleanup = nullptr;
    // Whatever the caller had in these would be taken for the user's: its
    // own home, or fields named by an EXTRA of its own.
    ::unsetenv("HOME");
    ::unsetenv("EXTRA");
    for (const auto& variable : variables)
        ::setenv(variable.first.c_str(), variable.second.c_str(), 1);
    if (lookup) ::setenv("AUTHORIZED", "2", 1);
    std::fflush(stdout);
    std::fflush(stderr);
    if (::dup2(answer_fd, 1) < 0) return try_again;
    std::vector<char*> argv;
    for (const std::string& word : program) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    error_log("checkpassword: cannot run %s (%s): exit 111", program[0].c_str(),
              std::strerror(errno));
    ::dup2(2, 1);
    return try_again;
}

void check_checkpassword(const std::vector<std::string>& program, const auth_result* found,
                         std::vector<std::string>& problems) {
    if (found) {
        std::optional<environment_list> variables = checkpassword_environment(*found, mail_uid);
        if (!variables) {
            problems.push_back(
                "checkpassword: a value of the user's row holds a control "
                "character: a login would be refused");
            return;
        }
        std::string shown;
        for (const auto& variable : *variables)
            shown += (shown.empty() ? "" : " ") + variable.first + "=" + variable.second;
        std::printf("checkpassword sets: %s\n", shown.c_str());
        return;
    }
    if (program.empty()) {
        problems.push_back("-protocol checkpassword names no program to run after a login");
        return;
    }
    const std::string& name = program[0];
    if (name.find('/') != std::string::npos && ::access(name.c_str(), X_OK) != 0)
        problems.push_back("checkpassword: the program " + name +
                           " cannot be run: " + std::strerror(errno));
}
