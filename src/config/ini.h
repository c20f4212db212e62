// The ini file, named after the program unless the command line names one:
// its front-end keys ("debug", "log_path", "domain", "info_pass"), the
// process-wide keys that both a session and the command-line tools read
// ("stats_path", "stats_interval", "cache_flush_path"), and the hand-over of
// every other key to a function the caller gives (the back end's load entry).
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

extern std::optional<std::string> domain, info_pass;

// The folder each process writes its counters to (none: not written), and
// how often, in seconds.
extern std::optional<std::string> stats_path;
extern long stats_interval;
constexpr long default_stats_interval = 10;
// The file the answer caches follow for quillmar -flush.
extern std::string cache_flush_path;
constexpr const char* default_cache_flush_path = "/run/quillmar/cache-flush";

// A user name as the directory and its cache know it: the default domain
// attached to a name without '@'.
std::string with_default_domain(const std::string& user);

// Takes a key and its value; both are valid only during the call.
using ini_key_handler = int (*)(const char* key, const char* value);

// Returns 1 when a file was found and read, 0 when none could be opened.
// Every key that is not one of the four goes to `back_end_key`; with none
// given, the first such key ends the process (status 0). `file`, when
// given, is the one file read (-config); one that cannot be opened is an
// error line, or, when `unread` is given, no line at all and its reason
// (strerror's words) there: the caller ends its start, and a log file the
// unread settings might have named elsewhere is not to be written.
int load_ini(const char* program_path, ini_key_handler back_end_key, const char* file = nullptr,
             std::string* unread = nullptr);

// Opens an ini file to read: null, errno set, when it cannot be opened or is
// a folder (EISDIR), which fopen opens and reads as an empty file.
std::FILE* open_ini_file(const std::string& path);

// Where load_ini looks for the file, in its order: `file` alone when given,
// else the program's base name with ".ini" in the working directory, then
// the same name under /etc.
std::vector<std::string> ini_file_places(const char* program_path, const char* file = nullptr);

// The program's name without its directory ('/' or '\\') and cut at its first dot.
std::string program_base_name(const char* program_path);
