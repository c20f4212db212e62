// The one table through which the front end and the protocols reach their
// back end: the line protocol's command names, the back end's entry points
// and the record a successful check or lookup hands back for the "+OK" line.
// Types only, beneath the front end, the protocols and the directory, so
// that a back end fills a table and a protocol serves one without either
// depending on the other.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

// Word 0 is the command, words 1 and 2 the first two arguments, word 3 the
// whole rest of the line. A back end may replace an entry; the front end
// answers with the replaced text.
using command_words = std::array<std::optional<std::string>, 4>;

// Owned by the back end and reused by every call; the front end empties all
// five fields after printing, so no call ever sees a previous call's values.
struct auth_result {
    std::optional<std::string> user, password, mailmask, maildrop, options;
};

// Releases all five strings; the record itself stays for the next call.
inline void empty_auth_result(auth_result& result) { result = auth_result{}; }

// Every entry point may be null; the front end then answers "is not
// supported" (or skips the step) instead of calling it.
struct auth_module_table {
    std::array<const char*, 12> names;
    int (*load)(const char* key, const char* value);
    int (*init)();
    void (*cleanup)();
    int (*start)();
    int (*exit)(command_words&);
    auth_result* (*check)(command_words&);
    auth_result* (*lookup)(command_words&);
    void (*help)(command_words&);
    // The configuration check (-check): adds each problem of the back end's
    // settings in plain words; 1 when it is connected and can be asked.
    int (*check_settings)(std::vector<std::string>& problems);
    // Also for -check: what is worth a word but is no problem (a key that
    // has no effect), in plain words.
    void (*setting_notes)(std::vector<std::string>& notes);
    // 1 when the last check or lookup answered null because the database
    // could not answer (not in time, and nothing kept stood in; or its
    // statement failed): a protocol that can say "try again later" (squid's
    // BH, checkpassword's 111, the socketmap's TEMP) says so rather than
    // refuse the user.
    int (*unavailable)();
    // 1 when the user table could hold the name (the default domain
    // attached as check and lookup attach it), 0 when it is longer than the
    // user column or than a statement's value may be: a service asks before
    // it hands a name from outside on, so that such a name is refused
    // without a query a driver might fail, which a mail system would take
    // for the database's trouble.
    int (*name_fits)(const std::string& name);
    // While no request waits: does the back end's work that falls due with
    // time alone (counters changed and not yet written), and returns how many
    // milliseconds the caller may wait for a request before it calls again,
    // or -1 when nothing will fall due before the next request. A process
    // that serves requests calls it rather than block longer than that.
    int (*idle)();
};

// Command indexes: the position of a name in auth_module_table::names.
enum command_index {
    cmd_exit = 0,
    cmd_check,
    cmd_lookup,
    cmd_help,
    cmd_set,
    cmd_mod,
    cmd_del,
    cmd_search,
    cmd_info,
    cmd_debug,
    cmd_quit,
    cmd_version
};

// The twelve names, in table order, for back ends that fill a table of their own.
inline constexpr std::array<const char*, 12> auth_command_names = {
    "exit", "check",  "lookup", "help",  "set",  "mod",
    "del",  "search", "info",   "debug", "quit", "version"};

// Owned by the back end; printed on the "+OK" line.
inline long mail_uid = 0;
