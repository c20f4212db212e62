// The column of the directory's statements that holds the password: its
// values reach the debug lines of the table query masked, whatever the
// scheme, so that debug mode never writes a password or a stored hash.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

// The position in the select list whose values are masked; none by default.
void db_set_secret_column(std::optional<std::size_t> position);

// The text a debug line shows for the value at that position of a row.
std::string db_shown_value(std::size_t position, const std::string& value);
