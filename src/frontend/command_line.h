// The command line: -debug, -version, -check [user], -stats [folder],
// -flush [user], -config FILE, -protocol NAME and -serve, and the protocols
// besides the line protocol that the composition root hands the front end
// for -protocol.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "module/auth_module.h"

// A protocol that serves the module table in place of the line protocol.
struct protocol_entry {
    const char* name;
    // Whether the words after the name are a program and its arguments,
    // which then end the command line.
    bool takes_program;
    // Runs once the ini file is read and the back end initialised; starts
    // the back end itself. Its answers go to `answer_fd` (the process's
    // standard output as it was given, while descriptor 1 now writes to
    // standard error). Returns the exit status.
    int (*serve)(auth_module_table& table, const std::vector<std::string>& program, int answer_fd);
    // Its part of -check, called with `found` null after the back end's
    // check (problems with the program it is to run), and again with the
    // record of a user found (what it would make of it, said on standard
    // output; a problem when it could not pass it on).
    void (*check)(const std::vector<std::string>& program, const auth_result* found,
                  std::vector<std::string>& problems);
};

// Wired in by the composition root before quillmar_main; empty, only the
// line protocol is known.
extern std::vector<protocol_entry> front_end_protocols;

// The service of -serve: sockets for many clients, the back end in worker
// processes. The front end reads the ini file through its key handler and
// hands it the table.
struct service_entry {
    // Readies the service's settings before the ini file is read.
    void (*begin)(auth_module_table& table);
    // load_ini's key handler: the service's keys, and every other the
    // table's load entry takes; 1 when either took it.
    int (*load)(const char* key, const char* value);
    // Serves until SIGTERM; the exit status. The program path and the
    // file of -config (null: none) are those of the start.
    int (*serve)(auth_module_table& table, const char* program, const char* config_file);
    // -check's part: the problems of the service's settings.
    void (*check)(std::vector<std::string>& problems);
};

// Wired in by the composition root; null, -serve is refused.
extern const service_entry* front_end_service;

struct command_options {
    bool debug = false;
    bool version = false;
    bool check = false;
    bool serve = false;
    std::optional<std::string> check_user;
    bool stats = false;
    std::optional<std::string> stats_folder;
    bool flush = false;
    std::optional<std::string> flush_user;
    std::optional<std::string> config_file;
    // Null for the line protocol.
    const protocol_entry* protocol = nullptr;
    std::vector<std::string> program;
};

// Options are matched without regard to case and read from argument 1 on,
// until a word that is none of them (that word and the rest are ignored, as
// ever): "-version" counts only as argument 1, "-check" and "-flush" take the
// next word as the user and "-stats" as the folder unless it begins with
// '-', "-config" and "-protocol" take the next word, and a protocol that
// takes a program takes every word after its name; "-serve" asks for the
// service. False, with one line saying why in `wrong`, for an unknown
// protocol, an option without its word, a program whose name begins with
// '-' (an option of ours misplaced after the protocol's name), or -serve
// with -protocol or without a service wired in.
bool read_command_options(int argc, char** argv, command_options& options, std::string& wrong);
