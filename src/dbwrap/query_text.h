// Taking a SELECT statement apart into its column list, table and filter,
// so that the columns can be checked against the catalog and handed to the
// user-table recordset one by one.
#pragma once

#include <string>
#include <vector>

// At most this many column names are taken from a select list; the last one
// keeps whatever commas follow it.
constexpr std::size_t max_query_columns = 20;

// Removes every space and tab. A null text is left alone.
void strip_blanks(std::string* text);
// Removes leading and trailing spaces and tabs; blanks inside stay.
void trim_blanks(std::string* text);

struct query_parts {
    bool has_filter = false;         // "WHERE" was found
    bool has_table = false;          // "FROM" was found
    bool has_select = false;         // "SELECT" was found
    std::string filter;              // everything after "WHERE "
    std::string key_column;          // the filter up to its first "=", trimmed
    std::string table;               // blanks removed
    std::vector<std::string> names;  // trimmed column names
};

// The keywords are searched for case-sensitively and left to right, each as
// a word with a blank (or the text's end) on each side, as the directory
// writes its own statements: a name that holds one (FWD_FROM, WHERE_USER)
// is taken for a name.
query_parts split_query(const std::string& statement);

// The select list split at its commas (at most max_query_columns names;
// a comma at the very end gives an empty last name).
std::vector<std::string> split_column_list(const std::string& list);
