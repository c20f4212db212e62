// What the protocols share below their requests: reading lines from a
// descriptor without a limit on how many wait, and writing an answer whole.
#pragma once

#include <cstddef>
#include <string>

// Longest request line taken, line feed not counted; a longer one is read
// to its end and answered as malformed, so requests and answers stay in step.
constexpr std::size_t max_request_line = 64 * 1024;

class line_reader {
public:
    // `idle`, when given, is called while no input waits (the module
    // table's idle), so that a quiet peer never holds up the back end's
    // work that falls due with time.
    line_reader(int fd, std::size_t limit, int (*idle)() = nullptr)
        : fd_(fd), limit_(limit), idle_(idle) {}
    // The next line without its line feed (the last one may lack it);
    // false at the end of input. A line longer than the limit sets
    // `too_long` and keeps only its first `limit` bytes.
    bool next(std::string& line, bool& too_long);
    // Whether a whole further line is already read, so that the answer to
    // this one may wait to leave with the next.
    bool line_waiting() const;

private:
    bool fill();

    int fd_;
    std::size_t limit_;
    int (*idle_)();
    std::string buffer_;
    std::size_t start_ = 0;
    bool ended_ = false;
};
