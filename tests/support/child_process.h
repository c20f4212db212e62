// Runs a program as a child over pipes, the way a mail server runs the
// authenticator: given arguments, working directory, extra environment and
// stdin bytes, it collects stdout, stderr and the exit status, with a timeout.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

#include "support/split_lines.h"

namespace qmtest {

struct child_options {
    std::vector<std::string> args;  // argument 1 onwards; argument 0 is the program
    std::string argv0;              // argument 0 when not empty, else the program path
    std::string cwd;                // working directory when not empty
    std::vector<std::pair<std::string, std::string>> env;  // added to (or replacing in) ours
    std::chrono::milliseconds timeout{20000};
    // Run in the child just before exec, its pipes in place: for what a
    // parent hands down besides them (limits, signal dispositions, other
    // descriptors as stdout, file status flags).
    std::function<void()> in_child;
};

struct child_result {
    std::string out, err;
    int exit_code = -1;      // the status when the child exited normally
    int signal = 0;          // the signal that ended it, if any
    bool timed_out = false;  // killed because the timeout passed
};

// Writes all of `input`, closes stdin, and collects everything until the child ends.
child_result run_child(const std::string& program, const std::string& input,
                       const child_options& options = {});

// A child held open for a conversation: write one line, read its answer lines.
class child_session {
public:
    child_session(const std::string& program, const child_options& options = {});
    ~child_session();
    child_session(const child_session&) = delete;
    child_session& operator=(const child_session&) = delete;

    bool write(const std::string& bytes);
    // One line from stdout, line feed included; empty on end of output or timeout.
    std::string read_line(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    // Lines up to and including the first one that begins "+OK" or "-ERR".
    std::vector<std::string> read_answer(
        std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    void close_stdin();
    // Closes stdin, drains the output and waits for the end of the child.
    child_result finish(std::chrono::milliseconds timeout = std::chrono::milliseconds(20000));

private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    std::string pending_out_, err_text_;
};

// Runs `fn` in this process with standard output sent to a temporary file,
// and returns what it wrote there (stdio and the descriptor both).
std::string capture_stdout(const std::function<void()>& fn);

}  // namespace qmtest
