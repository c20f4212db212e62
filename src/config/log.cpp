#include "config/log.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>

#include "config/ascii_text.h"
#include "config/globals.h"

int debug_mode = 0;
long process_id = 0;
std::optional<std::string> log_path;

namespace {

// The cuts that give the log its format: a debug or error message keeps at
// most 1023 characters, a start message at most 1999, and the start buffer
// never grows to 1990 characters or more.
constexpr std::size_t log_message_limit = 1023;
constexpr std::size_t start_message_limit = 1999;
constexpr std::size_t start_buffer_limit = 1990;

std::optional<std::string> start_buffer;
bool start_buffering = false;
std::vector<std::string>* diverted_lines = nullptr;

std::string format_message(const char* format, va_list args, std::size_t limit) {
    std::string text = format_text(format, args);
    if (text.size() > limit) text.resize(limit);
    // A message that ends with a line end loses it, so that every log line is
    // exactly one line in the file.
    std::size_t cr = text.rfind('\r');
    if (cr != std::string::npos) text.resize(cr);
    std::size_t lf = text.rfind('\n');
    if (lf != std::string::npos) text.resize(lf);
    return text;
}

std::string line_head() {
    return std::to_string(process_id) + " " + log_time_stamp(std::time(nullptr)) + " ";
}

// One open, one write, one close per line: other authenticator processes
// append to the same file, and O_APPEND with a single write keeps each line whole.
void append_to_log(const std::string& line) {
    int fd = ::open(log_path->c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return;
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    ::close(fd);
}

void write_stdout(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

}  // namespace

std::string log_time_stamp(std::time_t when) {
    static const char* const months[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm local{};
    localtime_r(&when, &local);
    char text[64];
    std::snprintf(text, sizeof text, "%s %02d %02d:%02d:%02d %04d", months[local.tm_mon % 12],
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, local.tm_year + 1900);
    return text;
}

void debug_log(const char* format, ...) {
    if (!debug_mode || diverted_lines) return;
    if (!log_path) {
        write_stdout("No log_path is set\n");
        return;
    }
    va_list args;
    va_start(args, format);
    std::string message = format_message(format, args, log_message_limit);
    va_end(args);
    std::string head = line_head();
    write_stdout(head + message + "\r\n");
    append_to_log(head + message + "\n");
}

void error_log(const char* format, ...) {
    if (diverted_lines) {
        va_list args;
        va_start(args, format);
        diverted_lines->push_back(format_message(format, args, log_message_limit));
        va_end(args);
        return;
    }
    if (!log_path) {
        if (debug_mode) write_stdout("ERROR: No log_path set\n");
        return;
    }
    va_list args;
    va_start(args, format);
    std::string message = format_message(format, args, log_message_limit);
    va_end(args);
    std::string head = line_head() + "ERROR: ";
    if (debug_mode) write_stdout(head + message + "\r\n");
    append_to_log(head + message + "\n");
}

void divert_log(std::vector<std::string>* lines) { diverted_lines = lines; }

void start_buffer_begin() {
    start_buffer.emplace();
    start_buffering = true;
}

void start_log(const char* format, ...) {
    if (!start_buffering) return;
    va_list args;
    va_start(args, format);
    std::string message = format_message(format, args, start_message_limit);
    va_end(args);
    std::string line = line_head() + message + "\n";
    // A line that does not fit is dropped; a later, shorter one may still fit.
    if (line.size() + start_buffer->size() < start_buffer_limit) *start_buffer += line;
}

void start_buffer_empty() {
    if (!start_buffering) return;
    debug_log("-- Emptying start message buffer now");
    debug_log("%s", start_buffer->c_str());
    debug_log("-- End of start message buffer.");
    start_buffer.reset();
    start_buffering = false;
}
