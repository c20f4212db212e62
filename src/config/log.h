// The log file: progress lines in debug mode (echoed on stdout), error lines
// always, each with the process id and a time stamp, plus the buffer that
// holds the ini reader's lines until the log file and debug mode are settled.
#pragma once

#include <ctime>
#include <string>
#include <vector>

void debug_log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void error_log(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A line written in every mode without "ERROR:" in front, for what an
// administrator or a log watcher such as fail2ban reads (a refused check, a
// throttle); echoed on stdout in debug mode, as error lines are. Nothing
// while the log is diverted: it tells of commands, not of settings.
void notice_log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// While `lines` is set, error messages are kept there instead of reaching
// the log file, and progress lines go nowhere: the configuration check
// reports what went wrong itself, and run as root it must not create a log
// file that the mail server's user then cannot append to. Null ends it. The
// target it replaces is returned, so that a part of the check can keep its
// own lines and then hand the rest back.
std::vector<std::string>* divert_log(std::vector<std::string>* lines);

void start_buffer_begin();
void start_log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void start_buffer_empty();

// "Mon DD HH:MM:SS YYYY" with English month names, day always two digits.
std::string log_time_stamp(std::time_t when);
