#include "config/ini.h"

#include <sys/stat.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/ascii_text.h"
#include "config/globals.h"
#include "config/log.h"
#include "config/number_text.h"

std::optional<std::string> domain, info_pass;
std::optional<std::string> stats_path;
long stats_interval = default_stats_interval;
std::string cache_flush_path = default_cache_flush_path;

namespace {

// Reads one whole line (line feed included) whatever its length, so that a
// long value is never split into a second, bogus key.
bool read_line(std::FILE* file, std::string& line) {
    line.clear();
    int c;
    while ((c = std::getc(file)) != EOF) {
        line.push_back(static_cast<char>(c));
        if (c == '\n') break;
    }
    return !line.empty();
}

// Parses one line in place; returns false for comments, blank lines and a
// key without a value. Key and value point into `line`.
bool split_ini_line(std::string& line, const char*& key, const char*& value) {
    if (line.empty() || line[0] == '#' || line[0] == '\r' || line[0] == '\n') return false;
    // Key and value are handed on as C text, which a NUL would cut short: a
    // password "ab\0cd" must not quietly become "ab".
    if (line.find('\0') != std::string::npos) {
        error_log("INI: line holding a NUL byte ignored");
        return false;
    }
    std::size_t end = line.size();
    while (end > 0 && is_blank_or_line_end(line[end - 1])) --end;
    line.resize(end);
    std::size_t gap = line.find_first_of(" \t");
    if (gap == std::string::npos) return false;
    std::size_t start = gap;
    while (start < line.size() && is_blank(line[start])) line[start++] = '\0';
    key = line.c_str();
    value = line.c_str() + start;
    return true;
}

// A whole number of seconds from 1 to a day; anything else keeps the value.
void read_stats_interval(const char* value) {
    const std::optional<long long> seconds = read_number(value, number_form::digits, 1, 86400);
    if (!seconds) {
        error_log(
            "stats_interval wants a whole number of seconds from 1 to 86400, not (%s); %ld holds",
            value, stats_interval);
        return;
    }
    stats_interval = static_cast<long>(*seconds);
}

void handle_key(std::FILE* file, const char* key, const char* value, ini_key_handler back_end_key) {
    if (ascii_equal_ignoring_case(key, "debug")) {
        debug_mode = ascii_equal_ignoring_case(value, "true") ? 1 : 0;
    } else if (ascii_equal_ignoring_case(key, "log_path")) {
        log_path = value;
        start_log("log_path set to (%s)", value);
    } else if (ascii_equal_ignoring_case(key, "domain")) {
        domain = value;
    } else if (ascii_equal_ignoring_case(key, "info_pass")) {
        info_pass = value;
    } else if (ascii_equal_ignoring_case(key, "stats_path")) {
        stats_path = value;
    } else if (ascii_equal_ignoring_case(key, "stats_interval")) {
        read_stats_interval(value);
    } else if (ascii_equal_ignoring_case(key, "cache_flush_path")) {
        cache_flush_path = value;
    } else if (back_end_key) {
        back_end_key(key, value);
    } else {
        error_log("FATAL: no auth_module.load function");
        std::fclose(file);
        std::exit(0);
    }
}

}  // namespace

std::string with_default_domain(const std::string& user) {
    if (!domain || user.find('@') != std::string::npos) return user;
    return user + "@" + *domain;
}

std::string program_base_name(const char* program_path) {
    const char* base = program_path;
    for (const char* p = program_path; *p; ++p)
        if (*p == '/' || *p == '\\') base = p + 1;
    std::string name = base;
    std::size_t dot = name.find('.');
    if (dot != std::string::npos) name.resize(dot);
    return name;
}

std::vector<std::string> ini_file_places(const char* program_path, const char* file) {
    if (file) return {file};
    std::string name = program_base_name(program_path ? program_path : "") + ".ini";
    return {name, "/etc/" + name};
}

std::FILE* open_ini_file(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return nullptr;
    struct stat info;
    if (::fstat(::fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
        std::fclose(file);
        errno = EISDIR;
        return nullptr;
    }
    return file;
}

int load_ini(const char* program_path, ini_key_handler back_end_key, const char* named,
             std::string* unread) {
    // Until the whole file is read neither the log file nor the debug mode is
    // settled, so the reader's own lines wait in the start buffer.
    start_buffer_begin();
    std::string base = program_base_name(program_path ? program_path : "");
    if (!log_path) log_path = base + ".log";

    std::string name;
    std::FILE* file = nullptr;
    for (const std::string& place : ini_file_places(program_path, named)) {
        name = place;
        file = open_ini_file(name);
        if (file) break;
    }
    if (!file && named && unread) {
        *unread = std::strerror(errno);
        return 0;
    }
    if (!file && named) {
        // A file named on the command line is the administrator's choice:
        // starting on defaults without it would pass unseen.
        error_log("INI: cannot read {%s}: %s", name.c_str(), std::strerror(errno));
        return 0;
    }
    if (!file) {
        debug_log("INI: Failed to load {%s}", name.c_str());
        return 0;
    }
    start_log("INI: Loading {%s}", name.c_str());

    std::string line;
    bool first = true;
    while (read_line(file, line)) {
        // An editor saving UTF-8 may put a byte-order mark ahead of the first
        // key, which would otherwise become part of that key.
        if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        first = false;
        const char* key = nullptr;
        const char* value = nullptr;
        if (!split_ini_line(line, key, value)) continue;
        start_log("INI:         Located {%s}", key);
        handle_key(file, key, value, back_end_key);
    }
    std::fclose(file);
    start_buffer_empty();
    return 1;
}
