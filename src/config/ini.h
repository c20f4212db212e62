// The ini file named after the program: its four front-end keys ("debug",
// "log_path", "domain", "info_pass") and the hand-over of every other key to
// the back end through auth_module.load.
#pragma once

#include <optional>
#include <string>

extern std::optional<std::string> domain, info_pass;

// Returns 1 when a file was found and read, 0 when none could be opened.
// Ends the process (status 0) on a back-end key while auth_module.load is null.
int load_ini(const char* program_path);

// The program's name without its directory ('/' or '\\') and cut at its first dot.
std::string program_base_name(const char* program_path);
