// The authenticator's entry and its line protocol: options, start-up, the
// command loop and every answer written to the mail server on stdout; or,
// with -protocol, the hand-over to another protocol.
#pragma once

#include <optional>
#include <string>

#include "frontend/command_line.h"
#include "module/auth_module.h"

// The table with the command names and only the help slot (print_help) set:
// what runs when no back end is linked in, and the base a back end fills.
auth_module_table front_end_auth_module();

// The back end the entry serves; main fills it before quillmar_main.
extern auth_module_table auth_module;

// The version text shown by "-version", `version` and `info`.
extern const char* const quillmar_version;

// Longest command line accepted, line end not counted. A longer line is read
// to its end and answered with one "-ERR" line, so the server's commands and
// our answers never drift out of step.
constexpr std::size_t max_command_line = 64 * 1024;

int quillmar_main(int argc, char** argv);
// "-check [user]": reads the ini file as a start does (the one -config
// names, if any), has the back end check its settings and connect, looks
// the user up when one is given, and has the protocol of -protocol check
// its part. Each problem goes to stdout in plain words; 0 when there is
// none, else 1.
int run_config_check(const char* program_path, const command_options& options);
// "-stats [folder]": the counters of every process in the folder (by
// default stats_path of the ini file -config names, if any) summed as one
// exposition on stdout; 0, or 1 with the reason on stderr.
int run_stats_summary(const char* program_path, const command_options& options);
// "-flush [user]": every running process drops the user's cache entry (the
// default domain attached), or every entry, before its next command.
// Returns once that holds: 0, or 1 with the reason on stderr.
int run_cache_flush(const char* program_path, const command_options& options);
// What the exception being handled says, on one line and cut short, for the
// boundaries that catch whatever is thrown. Call only inside a handler.
std::string fault_text();
// Returns 1 when the loop is to end (exit, quit, version), 0 otherwise.
int handle_command_line(const std::string& line);
void print_ok_line(auth_result& result, const char* prefix);
// The "+OK" line of a record, without its line end.
std::string ok_line_text(const auth_result& result, const char* prefix);
// The record, or null (its texts released, the log told) when a text of it
// would break the answer line.
auth_result* answerable(auth_result* result);
void print_help(command_words& words);
int print_info(command_words& words);
void shutdown_front_end();
