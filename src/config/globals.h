// The three process-wide settings every layer reads: whether progress lines
// are written, the process id at the head of each log line, and the log
// file. They live beneath everything so that no layer reaches up for them.
#pragma once

#include <optional>
#include <string>

// 1 in debug mode: set by "-debug", the ini key "debug" and the debug command.
extern int debug_mode;
// Taken once at start-up.
extern long process_id;
// Set by the ini reader (its default is derived from the program name).
extern std::optional<std::string> log_path;
