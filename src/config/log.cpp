#include "config/log.h"

#include <fcntl.h>
#include <sys/stat.h>
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

// The cuts of a message, then its remaining line ends made blanks: whatever
// a caller hands in (a stored value, a user name, a driver text) stays one
// line in the file and one on stdout, where a second line would stand as an
// answer of its own ("x\n+OK admin ...") and put every later answer out of
// step. Only the start buffer's entry keeps its line ends, which are ours.
std::string prepare_message(std::string text, std::size_t limit, bool flatten) {
    if (text.size() > limit) text.resize(limit);
    // A message that ends with a line end loses it; of several, what follows
    // the last one goes.
    std::size_t cr = text.rfind('\r');
    if (cr != std::string::npos) text.resize(cr);
    std::size_t lf = text.rfind('\n');
    if (lf != std::string::npos) text.resize(lf);
    if (flatten)
        for (char& c : text)
            if (c == '\r' || c == '\n') c = ' ';
    return text;
}

std::string format_message(const char* format, va_list args, std::size_t limit) {
    return prepare_message(format_text(format, args), limit, true);
}

std::string line_head() {
    return std::to_string(process_id) + " " + log_time_stamp(std::time(nullptr)) + " ";
}

// Only a regular file (or a new one) is a log. A FIFO without a reader would
// hold the process in open() for good, and a FIFO, a device or the file that
// is our stdout (log_path /dev/stdout) would put log lines where they do not
// belong, into the protocol among them: such a log is unwritable and its
// lines are lost.
int open_log() {
    int fd = ::open(log_path->c_str(),
                    O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
    if (fd < 0) return -1;
    struct stat file, out;
    if (::fstat(fd, &file) != 0 || !S_ISREG(file.st_mode) ||
        (::fstat(1, &out) == 0 && out.st_dev == file.st_dev && out.st_ino == file.st_ino)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One open, one write, one close per line: other authenticator processes
// append to the same file, and O_APPEND with a single write keeps each line
// whole. A write cut short by a full disk or a file-size limit would leave a
// torn line for the next one (ours or another process's) to be glued to, so
// the piece is taken back and the line is lost whole, as on an unwritable
// log, unless another line already follows it.
void append_to_log(const std::string& line) {
    int fd = open_log();
    if (fd < 0) return;
    ssize_t n;
    do {
        n = ::write(fd, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    if (n > 0 && static_cast<std::size_t>(n) < line.size()) {
        off_t end = ::lseek(fd, 0, SEEK_CUR);
        struct stat file;
        if (end >= n && ::fstat(fd, &file) == 0 && file.st_size == end) {
            [[maybe_unused]] int cut = ::ftruncate(fd, end - n);
        }
    }
    ::close(fd);
}

void write_stdout(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

// A progress entry, echoed and appended; the start buffer's entry alone
// keeps its line ends.
void debug_entry(const std::string& text, bool flatten) {
    if (!debug_mode || diverted_lines) return;
    if (!log_path) {
        write_stdout("No log_path is set\n");
        return;
    }
    std::string message = prepare_message(text, log_message_limit, flatten);
    std::string head = line_head();
    write_stdout(head + message + "\r\n");
    append_to_log(head + message + "\n");
}

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
    va_list args;
    va_start(args, format);
    std::string text = format_text(format, args);
    va_end(args);
    debug_entry(text, true);
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

void notice_log(const char* format, ...) {
    if (diverted_lines || !log_path) return;
    va_list args;
    va_start(args, format);
    std::string message = format_message(format, args, log_message_limit);
    va_end(args);
    std::string head = line_head();
    if (debug_mode) write_stdout(head + message + "\r\n");
    append_to_log(head + message + "\n");
}

std::vector<std::string>* divert_log(std::vector<std::string>* lines) {
    std::vector<std::string>* before = diverted_lines;
    diverted_lines = lines;
    return before;
}

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
    // One entry of whole lines, each with its own head.
    debug_entry(*start_buffer, false);
    debug_log("-- End of start message buffer.");
    start_buffer.reset();
    start_buffering = false;
}
