// One field value as text, for the debug lines the table query writes for
// every field of every row it finds. The text reaches nothing but the log.
#pragma once

#include <cstddef>
#include <string>

class CDBVariant;

// Replaces `text` with the value's text, cut to at most limit - 2
// characters, and returns it. Binary values and nulls give "(NULL)".
std::string& db_value_to_text(const CDBVariant& value, std::string& text, std::size_t limit);
