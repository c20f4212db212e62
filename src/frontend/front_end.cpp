#include "frontend/front_end.h"

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>

#include "config/ascii_text.h"
#include "config/globals.h"
#include "config/ini.h"
#include "config/input_wait.h"
#include "config/log.h"
#include "config/secret_text.h"

const char* const quillmar_version = "1.0b";

// It may go to standard output too, where a line break would forge an answer.
std::string fault_text() {
    std::string text;
    try {
        throw;
    } catch (const std::exception& e) {
        text = e.what();
    } catch (...) {
        text = "an exception of unknown type";
    }
    if (text.size() > 200) text.resize(200);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    return text;
}

namespace {

const char* const eol = "\r\n";

// Set once an answer could not be written: the mail server can no longer
// be told anything, so the session ends rather than run queries for nobody.
bool answer_lost = false;

// Sends the answer written so far; a failure (the reader gone, a full
// device) is logged once and ends the session.
void flush_answer() {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return;
    if (answer_lost) return;
    answer_lost = true;
    try {
        error_log("Answer not written to standard output (%s): session ended",
                  std::strerror(errno));
    } catch (...) {
        // Memory ran out for the line: the session ends all the same.
    }
}

// The one error line of an exception caught at a boundary; memory that ran
// out may take the line with it, never the process.
void log_fault(const char* where) noexcept {
    try {
        error_log("Internal error in %s: %s", where, fault_text().c_str());
    } catch (...) {
    }
}

// Spaces alone separate words; a run of them counts as one, and whatever
// follows the third word stays together as word 3.
command_words split_command_line(const std::string& text) {
    std::size_t end = text.size();
    while (end > 0 && is_blank_or_line_end(text[end - 1])) --end;

    command_words words;
    std::optional<std::size_t> rest = 0;
    int taken = 0;
    while (rest && taken < 3) {
        std::size_t start = *rest;
        std::size_t space = text.find(' ', start);
        if (space == std::string::npos || space >= end) {
            words[taken++] = text.substr(start, end - start);
            rest.reset();
        } else {
            words[taken++] = text.substr(start, space - start);
            std::size_t next = space;
            while (next < end && text[next] == ' ') ++next;
            rest = next;
        }
    }
    if (rest) words[3] = text.substr(*rest, end - *rest);
    return words;
}

// The first letter must match exactly, the rest without regard to case, so
// "cHECK" is check but "Check" is no command at all.
int find_command(const std::string& word) {
    for (int i = 0; i < static_cast<int>(auth_module.names.size()); ++i) {
        const char* name = auth_module.names[i];
        if (!name) continue;
        if (name[0] != word.c_str()[0]) continue;
        if (ascii_equal_ignoring_case(name, word.c_str())) return i;
    }
    return -1;
}

}  // namespace

// A stored value holding a line break would split the "+OK" line in two, and
// the second half would wait as a forged answer to the server's next command
// (a user table value such as "box\r\n+OK admin" could log anyone in); one
// holding a NUL would reach the server cut short. Such a record is refused
// like a failed look-up; the log says why.
auth_result* answerable(auth_result* result) {
    if (!result) return nullptr;
    // A plain loop: find_first_of over a three-byte set costs a search of
    // the set for every byte of the answer.
    bool breaks = false;
    for (const std::optional<std::string>* text :
         {&result->user, &result->maildrop, &result->options})
        if (*text)
            for (char c : **text)
                if (c == '\r' || c == '\n' || c == '\0') breaks = true;
    if (!breaks) return result;
    error_log("Result record holds a line break or NUL: answered as a failure");
    empty_auth_result(*result);
    return nullptr;
}

void print_ok_line(auth_result& result, const char* prefix) {
    // The line is put together and written in one piece.
    std::string line = ok_line_text(result, prefix);
    line += eol;
    std::fwrite(line.data(), 1, line.size(), stdout);
    empty_auth_result(result);
}

std::string ok_line_text(const auth_result& result, const char* prefix) {
    // Each text goes in as C text, up to a NUL as printf would take it.
    const char* user = result.user ? result.user->c_str() : "(null)";
    std::string line;
    line.reserve(128);
    line += prefix;
    line += ' ';
    line += user;
    line += ' ';
    if (result.options) {
        line += result.maildrop ? result.maildrop->c_str() : "config";
        line += ' ';
        line += std::to_string(mail_uid);
        line += ' ';
        line += result.options->c_str();
    } else if (result.maildrop) {
        line += result.maildrop->c_str();
    } else {
        // With no maildrop the word config stands in its place and the mail
        // uid follows it, as in the forms that carry options.
        line += "config ";
        line += std::to_string(mail_uid);
    }
    return line;
}

void print_help(command_words&) {
    std::printf("+DATA Valid command line options%s", eol);
    std::printf("+DATA -debug%s", eol);
    std::printf("+DATA -version%s", eol);
    std::printf("+DATA Valid slave mode commands%s", eol);
    std::printf("+DATA    version %s", eol);
    if (auth_module.check)
        std::printf("+DATA     check <username> <password> [fromIPaddress]%s", eol);
    if (auth_module.lookup) std::printf("+DATA     lookup <username>%s", eol);
    if (auth_module.exit) std::printf("+DATA     exit%s", eol);
}

int print_info(command_words& words) {
    std::printf("+DATA %s (%s)%s", quillmar_version, "Quillmar", eol);
    if (info_pass && words[1] && same_secret(*info_pass, *words[1])) {
        std::printf("+DATA%s", eol);
        if (domain)
            std::printf("+DATA       Domain = %s%s", domain->c_str(), eol);
        else
            std::printf("+DATA       Domain = (NULL)%s", eol);
        if (log_path)
            std::printf("+DATA     Log Path = %s%s", log_path->c_str(), eol);
        else
            std::printf("+DATA     Log Path = (NULL)%s", eol);
        if (debug_mode) std::printf("+DATA (DEBUG MODE)%s", eol);
    }
    return 1;
}

namespace {

// Writes the answer of one line, its final line included; returns 1 when the
// session is to end. `command` gets the command's index once it is known.
int answer_line(const std::string& line, int& command) {
    std::size_t length = line.size();
    if (length > 0 && line[length - 1] == '\n') --length;
    if (length > 0 && line[length - 1] == '\r') --length;
    if (length > max_command_line) {
        error_log("Command line longer than %zu characters discarded", max_command_line);
        std::printf("-ERR Command line too long%s", eol);
        return 0;
    }
    // A NUL would silently shorten a password or a user name in C text, so
    // such a line is refused rather than checked as something else.
    if (line.find('\0') != std::string::npos) {
        error_log("Command line holding a NUL byte refused");
        std::printf("-ERR Command line holds a NUL byte%s", eol);
        return 0;
    }
    // A CR anywhere but before the line feed would be echoed into the answer
    // ("check x\r+OK pw"), where a reader that splits at CR sees a line
    // beginning "+OK".
    if (line.find('\r') < length) {
        error_log("Command line holding a carriage return refused");
        std::printf("-ERR Command line holds a carriage return%s", eol);
        return 0;
    }

    command_words words = split_command_line(line);
    command = find_command(*words[0]);
    switch (command) {
    case cmd_version:
        std::printf("Tarvel's Quillmar Version %s %s", quillmar_version, eol);
        [[fallthrough]];
    case cmd_exit:
    case cmd_quit:
        if (!auth_module.exit)
            std::printf("-ERR 'exit' is not supported%s", eol);
        else if (auth_module.exit(words))
            std::printf("+OK%s", eol);
        else
            std::printf("-ERR Failed Exit%s", eol);
        return 1;
    case cmd_check:
        if (!auth_module.check) {
            std::printf("-ERR 'check' is not supported%s", eol);
        } else if (!words[1] || !words[2]) {
            std::printf("-ERR No username/password provided%s", eol);
        } else if (auth_result* result = answerable(auth_module.check(words))) {
            print_ok_line(*result, "+OK");
        } else {
            std::printf("-ERR %s password wrong or not a valid user%s",
                        words[1] ? words[1]->c_str() : "(null)", eol);
        }
        break;
    case cmd_lookup:
        if (!auth_module.lookup) {
            std::printf("-ERR 'lookup' is not supported%s", eol);
        } else if (!words[1]) {
            std::printf("-ERR No username/password provided%s", eol);
        } else if (auth_result* result = answerable(auth_module.lookup(words))) {
            print_ok_line(*result, "+OK");
        } else {
            std::printf("-ERR %s Not Located in database%s",
                        words[1] ? words[1]->c_str() : "(null)", eol);
        }
        break;
    case cmd_help:
        if (auth_module.help) {
            auth_module.help(words);
            std::printf("+OK%s", eol);
        } else {
            std::printf("-ERR 'help' is not supported%s", eol);
        }
        break;
    case cmd_info:
        print_info(words);
        std::printf("+OK%s", eol);
        break;
    case cmd_debug:
        if (debug_mode) {
            debug_mode = 0;
            std::printf("+OK Debug Turned OFF%s", eol);
        } else {
            debug_mode = 1;
            std::printf("+OK Debug Turned ON%s", eol);
        }
        break;
    default:
        std::printf("-ERR Command not supported '%.20s'%s", words[0]->c_str(), eol);
        break;
    }
    return 0;
}

}  // namespace

// Nothing a command meets may end the process without a word to the mail
// server and the log: whatever is thrown past the back end (a fault of the
// database layer, memory that ran out) fails that command alone, with one
// error line and "-ERR" as its final line, so that the commands and the
// answers stay in step. The answer's final line is always the last thing a
// command prints, so none has been written when this catches. The
// commands that end the session still end it.
int handle_command_line(const std::string& line) {
    int command = -1, ends = 0;
    try {
        ends = answer_line(line, command);
    } catch (...) {
        const bool known = command >= 0 && command < static_cast<int>(auth_module.names.size()) &&
                           auth_module.names[command];
        log_fault(known ? auth_module.names[command] : "a command");
        std::printf("-ERR Internal error%s", eol);
        ends = command == cmd_exit || command == cmd_quit || command == cmd_version;
    }
    flush_answer();
    return ends;
}

void shutdown_front_end() {
    if (auth_module.cleanup) auth_module.cleanup();
    log_path.reset();
}

namespace {

// The mail server's commands, read from descriptor 0 a block at a time.
// While none waits the back end has its quiet moments (auth_module.idle),
// so that what a burst counted reaches the disk however long the server
// stays silent.
class command_input {
public:
    // One whole line, line feed included. A line longer than the limit is
    // read to its end but only its first limit+2 characters are kept:
    // enough for handle_command_line to see that it is too long even after
    // a carriage return. False at the end of input with nothing read.
    bool next(std::string& line) {
        line.clear();
        bool any = false;
        for (;;) {
            if (start_ == buffer_.size() && !fill()) return any;
            any = true;
            const char* from = buffer_.data() + start_;
            const std::size_t left = buffer_.size() - start_;
            const char* end = static_cast<const char*>(std::memchr(from, '\n', left));
            const std::size_t length = end ? static_cast<std::size_t>(end - from) : left;
            const std::size_t kept = max_command_line + 2;
            if (line.size() < kept) line.append(from, std::min(length, kept - line.size()));
            start_ += length;
            if (end) {
                line.push_back('\n');
                ++start_;
                return true;
            }
        }
    }

private:
    bool fill() {
        buffer_.resize(16 * 1024);
        start_ = 0;
        for (;;) {
            wait_for_input(0, auth_module.idle);
            const ssize_t n = ::read(0, &buffer_[0], buffer_.size());
            if (n < 0 && errno == EINTR) continue;
            buffer_.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
            return n > 0;
        }
    }

    std::string buffer_;
    std::size_t start_ = 0;
};

// What a parent may hand down that would lose answers or log lines: a
// file-size limit kills the process at the log line that passes it (the
// write fails instead, and the line is lost as on any unwritable log), the
// default SIGPIPE kills it without a word at its first answer to a mail
// server that stopped reading (the write fails instead, and the session ends
// with its error line), and a non-blocking stdin ends the session as soon as
// no command waits, a non-blocking stdout drops answers.
void prepare_process() {
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    for (int fd : {0, 1}) {
        int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0 && (flags & O_NONBLOCK)) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
}

// Reads the ini file; says why, when the file -config names cannot be read.
// Such a file ends the start in every mode: on defaults the process would
// answer as if the settings said nothing ("No MySQL field_username..."),
// with no word of the file. Nothing is logged then, as the log may be a
// setting of that very file: the reason goes to standard error, in -check's
// words.
std::optional<std::string> read_settings(const char* program, ini_key_handler handler,
                                         const char* named) {
    std::string reason;
    if (load_ini(program, handler, named, &reason) || !named || reason.empty()) return std::nullopt;
    log_path.reset();
    // A name holding a line break would put a line of its own on stdout.
    std::string name = named;
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    std::string text = "the ini file " + name + " (-config) cannot be read: " + reason;
    std::fprintf(stderr, "quillmar: %s\n", text.c_str());
    return text;
}

// Start-up: the ini file and the back end's start. Whatever is thrown there
// (a library that cannot start, memory that ran out) gives the "-DEAD" line
// a failed start gives, and its error line. False when the start failed.
bool start_up(const char* program, const char* named) {
    try {
        if (auth_module.init) auth_module.init();
        if (std::optional<std::string> unread = read_settings(program, auth_module.load, named)) {
            std::printf("-DEAD: Configuration Problem, please try again later (%s)\n",
                        unread->c_str());
            return false;
        }
        return !auth_module.start || auth_module.start();
    } catch (...) {
        log_fault("start-up");
        std::printf("-DEAD: Internal problem, please try again later (%s)\n", fault_text().c_str());
        return false;
    }
}

int run_session(int argc, char** argv) {
    command_options options;
    std::string wrong;
    if (!read_command_options(argc, argv, options, wrong)) {
        std::fprintf(stderr, "%s\n", wrong.c_str());
        return 2;
    }
    if (options.debug) debug_mode = 1;
    if (options.version) {
        std::printf("Tarvel's Quillmar Version %s\n+OK\n", quillmar_version);
        std::fflush(stdout);
        return 0;
    }
    const char* program = argc >= 1 && argv[0] ? argv[0] : "quillmar";
    if (options.check) return run_config_check(program, options);
    if (options.stats) return run_stats_summary(program, options);
    if (options.flush) return run_cache_flush(program, options);
    process_id = static_cast<long>(::getpid());
    const char* named = options.config_file ? options.config_file->c_str() : nullptr;
    if (options.protocol) {
        // Another protocol's answers must never meet the debug echo, the ini
        // reader's buffered lines or the back end's -DEAD line: it keeps the
        // given stdout for itself, and descriptor 1 writes to stderr.
        std::fflush(stdout);
        // Above the descriptors a protocol may be handed (checkpassword's 3
        // and Dovecot's 4), so that a missing one is never this copy.
        int answer_fd = ::fcntl(1, F_DUPFD_CLOEXEC, 10);
        if (answer_fd < 0 || ::dup2(2, 1) < 0) {
            std::fprintf(stderr, "quillmar: cannot set standard output aside: %s\n",
                         std::strerror(errno));
            return 111;
        }
        if (auth_module.init) auth_module.init();
        // Without its settings the protocol is served no user directory,
        // and answers as it then does: squid's BH for every request,
        // checkpassword's exit 111.
        auth_module_table none = front_end_auth_module();
        const bool unread = read_settings(program, auth_module.load, named).has_value();
        int status =
            options.protocol->serve(unread ? none : auth_module, options.program, answer_fd);
        std::fflush(stdout);
        shutdown_front_end();
        return status;
    }
    if (options.serve) {
        // The back end starts in each worker, never here.
        if (auth_module.init) auth_module.init();
        front_end_service->begin(auth_module);
        if (read_settings(program, front_end_service->load, named)) return 1;
        int status = front_end_service->serve(auth_module, program, named);
        std::fflush(stdout);
        shutdown_front_end();
        return status;
    }
    if (!start_up(program, named)) {
        std::fflush(stdout);
        return 0;
    }
    command_input input;
    std::string line;
    int done = 0;
    while (!done && !answer_lost && input.next(line)) done = handle_command_line(line);
    flush_answer();
    shutdown_front_end();
    return answer_lost ? 1 : 0;
}

}  // namespace

int quillmar_main(int argc, char** argv) {
    prepare_process();
    answer_lost = false;
    // The commands and the start-up have boundaries of their own; what is
    // thrown outside them (reading a line, the shutdown) ends the session
    // with its error line rather than through std::terminate without one.
    try {
        return run_session(argc, argv);
    } catch (...) {
        log_fault("the session");
        std::fflush(stdout);
        return 1;
    }
}
