// One field value as text, for the debug lines the table query writes for
// every field of every row it finds. The text reaches nothing but the log.
#pragma once

#include <cstddef>
#include <string>

class CDBVariant;

// Replaces `text` with the value's text, cut to at most limit - 2
// characters, and returns it. Binary values and nulls give "(NULL)".
std::string& db_value_to_text(const CDBVariant& value, std::string& text, std::size_t limit);

// A text as a log line shows it: control characters (a line end, a NUL, an
// escape) written as \r, \n, \t, \0 or \xHH, so that a stored value can
// neither split the line, nor cut it short, nor forge a line of its own.
std::string db_shown_text(const std::string& text);
