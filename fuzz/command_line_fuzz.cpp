// The line protocol under hostile input: each line goes through
// handle_command_line with a scripted back end, as the command loop would
// hand it over. A mail server matches answers to commands by their final
// "+OK"/"-ERR" line, so exactly one such line must close every answer, and
// the split must hand the back end every non-blank character it was sent.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "config/globals.h"
#include "config/ini.h"
#include "frontend/front_end.h"
#include "fuzz_support.h"
#include "module/auth_module.h"

namespace {

int stdout_capture = -1;
int stderr_capture = -1;

auth_result result_record;
command_words seen_words;
bool back_end_called = false;
// Bits of the input's first byte: which back-end answers succeed and what
// the result record carries.
unsigned script = 0;

void record(const command_words& words) {
    seen_words = words;
    back_end_called = true;
}

// A value as the user table could hold it: anything at all, line breaks
// included ("|" in the command line stands for a line feed, "~" for a
// carriage return, so that a single input line can carry them).
std::optional<std::string> stored(const std::optional<std::string>& word) {
    if (!word) return std::nullopt;
    std::string value = *word;
    for (char& c : value) {
        if (c == '|') c = '\n';
        if (c == '~') c = '\r';
    }
    return value;
}

auth_result* fill_result(command_words& words) {
    record(words);
    if (!(script & 0x01)) return nullptr;
    result_record.user = stored(words[1]);
    if (script & 0x02) result_record.maildrop = "/var/mail/" + stored(words[1]).value_or("");
    if (script & 0x04) result_record.options = "fwd=" + stored(words[2]).value_or("") + " quota=10";
    mail_uid = (script & 0x08) ? 1000 : 0;
    return &result_record;
}

int fake_exit(command_words& words) {
    record(words);
    return (script & 0x10) ? 1 : 0;
}

void fake_help(command_words& words) {
    record(words);
    print_help(words);
}

auth_module_table scripted_module() {
    auth_module_table table = front_end_auth_module();
    table.check = (script & 0x20) ? nullptr : fill_result;
    table.lookup = (script & 0x40) ? nullptr : fill_result;
    table.exit = (script & 0x80) ? nullptr : fake_exit;
    table.help = fake_help;
    return table;
}

bool is_final(const std::string& line) {
    return line.compare(0, 3, "+OK") == 0 || line.compare(0, 4, "-ERR") == 0;
}

// Every answer ends in "\r\n"; its lines beginning "+OK" or "-ERR" must be
// exactly one, and the last.
void check_answer(const std::string& line, const std::string& out) {
    FUZZ_CHECK(out.size() >= 2 && out.compare(out.size() - 2, 2, "\r\n") == 0,
               "line: " + line + " answer: " + out);
    std::size_t finals = 0;
    std::string last;
    for (const std::string& piece : qmtest::split_lines(out)) {
        if (is_final(piece)) ++finals;
        last = piece;
    }
    FUZZ_CHECK(finals == 1, "line: " + line + " answer: " + out);
    FUZZ_CHECK(is_final(last), "line: " + line + " answer: " + out);
}

// The words a back end saw, set against the line: spaces separate the first
// three words and none may hold one; trailing blanks and the line end go;
// every other character arrives, in order.
void check_words(const std::string& line) {
    std::string text = line;
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n'))
        text.pop_back();
    std::string sent, seen;
    for (char c : text)
        if (c != ' ') sent += c;
    bool ended = false;
    for (int i = 0; i < 4; ++i) {
        const std::optional<std::string>& word = seen_words[static_cast<std::size_t>(i)];
        if (!word) {
            ended = true;
            continue;
        }
        FUZZ_CHECK(!ended, "a word after a missing one in: " + line);
        if (i < 3)
            FUZZ_CHECK(word->find(' ') == std::string::npos, "word " + *word + " of: " + line);
        if (i > 0) FUZZ_CHECK(!word->empty() && word->front() != ' ', "word of: " + line);
        for (char c : *word)
            if (c != ' ') seen += c;
    }
    FUZZ_CHECK(seen == sent, "line: " + line + " words: " + seen);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    stdout_capture = ::memfd_create("fuzz-stdout", 0);
    stderr_capture = ::memfd_create("fuzz-stderr", 0);
    if (stdout_capture < 0 || stderr_capture < 0) std::abort();
    std::fflush(stdout);
    if (::dup2(stdout_capture, STDOUT_FILENO) < 0) std::abort();
    // Error lines of the protocol go to a log file that nobody reads here.
    log_path = "/dev/null";
    info_pass = "secret";
    domain = "example.org";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    script = data[0];
    auth_module = scripted_module();
    debug_mode = 0;
    mail_uid = 0;

    // Lines as the command loop reads them: each with its line feed, the
    // last one without when the input stops short of one.
    std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
    for (const std::string& line : qmtest::split_lines(input)) {
        back_end_called = false;
        seen_words = {};
        fuzz_empty_file(stdout_capture);
        std::fflush(stderr);
        int saved_stderr = ::dup(STDERR_FILENO);
        fuzz_empty_file(stderr_capture);
        ::dup2(stderr_capture, STDERR_FILENO);
        int done = handle_command_line(line);
        std::fflush(stdout);
        std::fflush(stderr);
        ::dup2(saved_stderr, STDERR_FILENO);
        ::close(saved_stderr);

        std::string errors = fuzz_read_all(stderr_capture);
        FUZZ_CHECK(errors.empty(), "stderr after line: " + line + " was: " + errors);
        check_answer(line, fuzz_read_all(stdout_capture));
        if (back_end_called && line.find('\0') == std::string::npos) check_words(line);
        if (done) break;
    }
    return 0;
}
