// The configuration check, "-check [user]": what a start would meet, said on
// stdout in plain words for the administrator who has just edited the ini
// file, before the mail server depends on it.
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "config/ascii_text.h"
#include "config/globals.h"
#include "config/ini.h"
#include "config/log.h"
#include "config/shared_folder.h"
#include "frontend/front_end.h"

namespace {

std::vector<std::string> unknown_keys;
// The throttle's table, seen on its way to the back end: its folder is
// checked when either key is set.
std::optional<std::string> throttle_table;
bool throttle_keys = false;
// -serve: the service's key handler reads the file, as at its start.
bool serving = false;

// Every key goes where a start hands it; a key nobody knows is ignored there
// without a word, which hides a misspelt one.
int load_noting_unknown(const char* key, const char* value) {
    if (ascii_equal_ignoring_case(key, "auth_failure_table")) throttle_table = value;
    if (ascii_equal_ignoring_case(key, "auth_failure_table") ||
        ascii_equal_ignoring_case(key, "auth_failure_limit"))
        throttle_keys = true;
    if (serving ? front_end_service->load(key, value)
                : auth_module.load && auth_module.load(key, value))
        return 1;
    unknown_keys.emplace_back(key);
    return 0;
}

// The file a start would read, or "" when there is none. A start passes over
// a file it cannot open and reads the next one, so such a file is a problem.
std::string ini_file_to_read(const char* program_path, const char* named,
                             std::vector<std::string>& problems) {
    const std::vector<std::string> places = ini_file_places(program_path, named);
    for (const std::string& place : places) {
        if (std::FILE* file = open_ini_file(place)) {
            std::fclose(file);
            return place;
        }
        if (errno != ENOENT)
            problems.push_back("the ini file " + place +
                               " cannot be read: " + std::strerror(errno));
    }
    if (problems.empty() && named)
        problems.push_back("the ini file " + places[0] + " (-config) does not exist");
    else if (problems.empty())
        problems.push_back("the ini file was not found: neither " + places[0] +
                           " in the working directory nor " + places[1] + " exists");
    return "";
}

// The log is opened for each line and a line that cannot be written is lost
// without a word, so a folder that is not there loses the whole log.
void check_log_folder(std::vector<std::string>& problems) {
    if (!log_path) return;
    std::size_t slash = log_path->rfind('/');
    std::string folder = slash == std::string::npos ? "." : log_path->substr(0, slash ? slash : 1);
    struct stat info;
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        problems.push_back("the log folder " + folder + " does not exist (log_path " + *log_path +
                           "): every log line would be lost");
}

// Each process writes its counters there; a folder that is not there loses them all.
void check_stats_folder(std::vector<std::string>& problems) {
    if (!stats_path) return;
    struct stat info;
    if (::stat(stats_path->c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        problems.push_back("the stats folder " + *stats_path +
                           " does not exist (stats_path): no counters would be written");
}

// Who may plant a link or a file under the names we use, and whose file
// sits at one of them. Root's tools trust no file there they did not make,
// but a fixed name in such a folder is still anyone's to take first.
void check_shared_place(const std::string& what, const std::string& folder, const std::string& key,
                        std::vector<std::string>& problems) {
    const std::string others = other_writers(folder);
    const std::string self = ::geteuid() == 0 ? "root" : "root and " + user_name(::geteuid());
    if (!others.empty())
        problems.push_back("the " + what + " " + folder + " (" + key + ") may be written by " +
                           others + ", not only by " + self);
}

void check_shared_file(const std::string& what, const std::string& path, const std::string& key,
                       std::vector<std::string>& problems) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || info.st_uid == 0 || info.st_uid == ::geteuid()) return;
    const std::string self = ::geteuid() == 0 ? "root" : "root or " + user_name(::geteuid());
    problems.push_back("the " + what + " " + path + " (" + key + ") belongs to " +
                       user_name(info.st_uid) + ", not to " + self);
}

void check_shared_places(std::vector<std::string>& problems) {
    if (stats_path) check_shared_place("stats folder", *stats_path, "stats_path", problems);
    const std::string flush_key = "cache_flush_path " + cache_flush_path;
    check_shared_place("cache flush folder", folder_of_path(cache_flush_path), flush_key, problems);
    check_shared_file("cache flush file", cache_flush_path, "cache_flush_path", problems);
    if (!throttle_keys) return;
    // The throttle's default.
    const std::string table = throttle_table.value_or("/run/quillmar/auth-failures");
    check_shared_place("throttle's folder", folder_of_path(table), "auth_failure_table " + table,
                       problems);
    check_shared_file("throttle's table", table, "auth_failure_table", problems);
}

// One lookup as the mail server would send it. The log lines it met tell a
// failed query from a user who is not there. The protocol of -protocol is
// shown the found record before it is emptied.
void check_user(const char* user, const protocol_entry* protocol,
                const std::vector<std::string>& program, std::vector<std::string>& problems,
                std::vector<std::string>& log_lines) {
    command_words words = {std::string("lookup"), std::string(user), std::nullopt, std::nullopt};
    log_lines.clear();
    auth_result* result = auth_module.lookup ? auth_module.lookup(words) : nullptr;
    // The name as looked up, the default domain attached.
    const std::string name = "user " + words[1].value_or(user) + ": ";
    if (result && answerable(result)) {
        std::printf("%sfound: %s\n", name.c_str(), ok_line_text(*result, "+OK").c_str());
        if (protocol && protocol->check) protocol->check(program, result, problems);
        empty_auth_result(*result);
    } else if (result) {
        problems.push_back(name + "a value of the row holds a line break or NUL byte: refused");
    } else if (log_lines.empty()) {
        problems.push_back(name + "not found");
    } else {
        std::string why;
        for (const std::string& line : log_lines) why += (why.empty() ? "" : "; ") + line;
        problems.push_back(name + "cannot be looked up: " + why);
    }
}

}  // namespace

namespace {

// Returns whether the user can be looked up.
bool check_settings(const char* program_path, const command_options& options,
                    std::vector<std::string>& problems, std::vector<std::string>& log_lines) {
    const char* named = options.config_file ? options.config_file->c_str() : nullptr;
    if (auth_module.init) auth_module.init();
    serving = options.serve && front_end_service;
    if (serving) front_end_service->begin(auth_module);

    if (options.protocol) std::printf("protocol %s\n", options.protocol->name);
    if (serving) std::printf("service\n");
    const std::string ini = ini_file_to_read(program_path, named, problems);
    // The lookup would only repeat in its own words what the back end found.
    bool lookup = false;
    if (!ini.empty()) {
        std::printf("reading %s\n", ini.c_str());
        log_lines.clear();
        load_ini(program_path, load_noting_unknown, named);
        // Said, but no problem: the settings work as they are.
        std::vector<std::string> notes;
        if (auth_module.setting_notes) auth_module.setting_notes(notes);
        for (const std::string& note : notes) std::printf("note: %s\n", note.c_str());
        // A value a key refuses is logged at a start and the setting left
        // as it was, which the administrator would not see here otherwise.
        for (const std::string& line : log_lines) problems.push_back(ini + ": " + line);
        for (const std::string& key : unknown_keys)
            problems.push_back("unknown key '" + key + "' in " + ini + ": it is ignored");
        check_log_folder(problems);
        check_stats_folder(problems);
        check_shared_places(problems);
        if (serving) front_end_service->check(problems);
        std::size_t before = problems.size();
        if (auth_module.check_settings)
            lookup = auth_module.check_settings(problems) && problems.size() == before;
        else
            problems.push_back("this program has no user directory to check");
    }
    return lookup;
}

}  // namespace

int run_config_check(const char* program_path, const command_options& options) {
    const char* user = options.check_user ? options.check_user->c_str() : nullptr;
    std::vector<std::string> problems, log_lines;
    divert_log(&log_lines);
    process_id = static_cast<long>(::getpid());
    bool lookup = false, stopped = false;
    // A fault the check meets (memory that ran out, one of the database
    // layer) is one more problem, said like the others.
    try {
        lookup = check_settings(program_path, options, problems, log_lines);
        // The protocol's own part (the program it runs) whatever the back end
        // found; a found user's record it is shown in check_user.
        if (options.protocol && options.protocol->check)
            options.protocol->check(options.program, nullptr, problems);
        if (user && lookup)
            check_user(user, options.protocol, options.program, problems, log_lines);
    } catch (...) {
        problems.push_back("the check stopped at an internal error: " + fault_text());
        stopped = true;
    }
    for (const std::string& problem : problems) std::printf("%s\n", problem.c_str());
    if (user && !lookup && !stopped)
        std::printf("user %s: not looked up until the problems above are mended\n", user);
    if (problems.empty())
        std::printf("all is well\n");
    else
        std::printf("%zu problem%s\n", problems.size(), problems.size() == 1 ? "" : "s");
    std::fflush(stdout);
    shutdown_front_end();
    divert_log(nullptr);
    return problems.empty() ? 0 : 1;
}
