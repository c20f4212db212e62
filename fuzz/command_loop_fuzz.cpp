// The whole command loop under hostile input: quillmar_main reads the input
// from stdin as the mail server sends it, lines longer than the limit
// included, and must answer every line it reads with exactly one final
// "+OK" or "-ERR" line, stopping after exit, quit or version, and never
// write to stderr.
#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

#include "config/globals.h"
#include "frontend/front_end.h"
#include "fuzz_support.h"
#include "module/auth_module.h"

namespace {

int stdin_file = -1;
std::string stdin_path;
int stdout_capture = -1;
int stderr_capture = -1;

auth_result result_record;

auth_result* answer(command_words& words) {
    if (!words[1] || words[1]->size() % 2) return nullptr;
    result_record.user = words[1];
    return &result_record;
}

int leave(command_words&) { return 1; }

// Byte 0xFF followed by a count k stands for k * 1024 letters "x", so that
// short inputs can make lines far beyond the length limit (the whole text
// stays below 512 KiB).
std::string expand(const uint8_t* data, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0xFF && i + 1 < size) {
            std::size_t count = static_cast<std::size_t>(data[++i]) * 1024;
            if (text.size() + count < 512 * 1024) text.append(count, 'x');
        } else {
            text += static_cast<char>(data[i]);
        }
    }
    return text;
}

// Whether a line ends the loop: its first word, cut at the first space after
// trailing blanks go, is exit, quit or version with the first letter exact
// and the rest in any case.
bool ends_loop(std::string line) {
    if (line.find('\0') != std::string::npos) return false;
    std::size_t length = line.size();
    if (length > 0 && line[length - 1] == '\n') --length;
    if (length > 0 && line[length - 1] == '\r') --length;
    if (length > max_command_line) return false;
    if (line.find('\r') < length) return false;  // refused, as a NUL is
    while (!line.empty() && std::strchr(" \t\r\n", line.back())) line.pop_back();
    std::string word = line.substr(0, line.find(' '));
    for (const char* name : {"exit", "quit", "version"}) {
        if (word.size() != std::strlen(name) || word[0] != name[0]) continue;
        bool same = true;
        for (std::size_t i = 1; i < word.size(); ++i)
            same = same && std::tolower(static_cast<unsigned char>(word[i])) == name[i];
        if (same) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    stdin_file = ::memfd_create("fuzz-stdin", 0);
    stdout_capture = ::memfd_create("fuzz-stdout", 0);
    stderr_capture = ::memfd_create("fuzz-stderr", 0);
    if (stdin_file < 0 || stdout_capture < 0 || stderr_capture < 0) std::abort();
    std::fflush(stdout);
    stdin_path = "/proc/self/fd/" + std::to_string(stdin_file);
    if (::dup2(stdout_capture, STDOUT_FILENO) < 0) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::string input = expand(data, size);
    fuzz_empty_file(stdin_file);
    if (!input.empty() &&
        ::write(stdin_file, input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        std::abort();
    // stdin is opened afresh on the input for every run: a stream that
    // stopped at "quit" still buffers the rest of the previous input, and
    // neither fflush nor fseek reliably drops it.
    if (!std::freopen(stdin_path.c_str(), "rb", stdin)) std::abort();

    auth_module = front_end_auth_module();
    auth_module.check = answer;
    auth_module.lookup = answer;
    auth_module.exit = leave;
    debug_mode = 0;
    // No ini file is found, so the log would be named after the program in
    // the working directory; it goes nowhere instead.
    log_path = "/dev/null";

    std::size_t expected = 0;
    for (const std::string& line : qmtest::split_lines(input)) {
        ++expected;
        if (ends_loop(line)) break;
    }

    fuzz_empty_file(stdout_capture);
    std::fflush(stderr);
    int saved_stderr = ::dup(STDERR_FILENO);
    fuzz_empty_file(stderr_capture);
    ::dup2(stderr_capture, STDERR_FILENO);
    char name[] = "qm-fuzz-no-such-program";
    char* argv[] = {name, nullptr};
    int status = quillmar_main(1, argv);
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(saved_stderr, STDERR_FILENO);
    ::close(saved_stderr);

    FUZZ_CHECK(status == 0, input.substr(0, 200));
    std::string errors = fuzz_read_all(stderr_capture);
    FUZZ_CHECK(errors.empty(), errors);
    std::string out = fuzz_read_all(stdout_capture);
    std::size_t finals = 0;
    for (const std::string& line : qmtest::split_lines(out))
        if (line.compare(0, 3, "+OK") == 0 || line.compare(0, 4, "-ERR") == 0) ++finals;
    FUZZ_CHECK(finals == expected, "answers " + std::to_string(finals) + " for " +
                                       std::to_string(expected) +
                                       " lines: " + input.substr(0, 300));
    FUZZ_CHECK(out.empty() || out.back() == '\n',
               out.substr(out.size() > 200 ? out.size() - 200 : 0));
    return 0;
}
