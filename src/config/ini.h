// The ini file, named after the program unless the command line names one:
// its four front-end keys ("debug", "log_path", "domain", "info_pass") and
// the hand-over of every other key to a function the caller gives (the back
// end's load entry).
#pragma once

#include <optional>
#include <string>
#include <vector>

extern std::optional<std::string> domain, info_pass;

// Takes a key and its value; both are valid only during the call.
using ini_key_handler = int (*)(const char* key, const char* value);

// Returns 1 when a file was found and read, 0 when none could be opened.
// Every key that is not one of the four goes to `back_end_key`; with none
// given, the first such key ends the process (status 0). `file`, when
// given, is the one file read (-config); one that cannot be opened is an
// error line.
int load_ini(const char* program_path, ini_key_handler back_end_key, const char* file = nullptr);

// Where load_ini looks for the file, in its order: `file` alone when given,
// else the program's base name with ".ini" in the working directory, then
// the same name under /etc.
std::vector<std::string> ini_file_places(const char* program_path, const char* file = nullptr);

// The program's name without its directory ('/' or '\\') and cut at its first dot.
std::string program_base_name(const char* program_path);
