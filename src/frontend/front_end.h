// The authenticator's entry and its line protocol: options, start-up, the
// command loop and every answer written to the mail server on stdout.
#pragma once

#include <optional>
#include <string>

#include "frontend/auth_module.h"

extern int debug_mode;
extern long process_id;
extern std::optional<std::string> log_path;

// The version text shown by "-version", `version` and `info`.
extern const char* const quillmar_version;

// Longest command line accepted, line end not counted. A longer line is read
// to its end and answered with one "-ERR" line, so the server's commands and
// our answers never drift out of step.
constexpr std::size_t max_command_line = 64 * 1024;

int quillmar_main(int argc, char** argv);
// Returns 1 when the loop is to end (exit, quit, version), 0 otherwise.
int handle_command_line(const std::string& line);
void print_ok_line(auth_result& result, const char* prefix);
void print_help(command_words& words);
int print_info(command_words& words);
void shutdown_front_end();
