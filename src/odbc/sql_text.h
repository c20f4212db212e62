// Reading of SQL statement texts for the recordset: finding keywords outside
// quoted literals and bracketed names, and deciding whether a statement reads
// a single table (and so could be written through) or not.
#pragma once

#include <string>
#include <string_view>

// Position of `token` (given in upper case, e.g. " FROM ") in `sql`, ignoring
// letter case and any occurrence inside a '...' literal or a [...] name;
// std::string::npos when there is none. The search starts at `from`, but the
// literal and bracket state is always tracked from the start of the text.
std::string::size_type FindSQLToken(const std::string& sql, const char* token,
                                    std::string::size_type from = 0);

// The class layer's letter-case comparisons: A to Z fold, nothing else, so
// the locale never changes how a keyword or a switch is recognised.
bool EqualsNoCase(std::string_view a, std::string_view b);
// True when `sql` begins, ignoring letter case, with `prefix`.
bool StartsWithNoCase(const std::string& sql, const char* prefix);

// Outcome of the updatability analysis. `warning` is the database-trace line
// that explains a read-only verdict (null when there is nothing to say).
struct SQLUpdatability {
    bool updatable = false;
    std::string tableName;
    const char* warning = nullptr;
};

// A statement can be written through when it is a plain SELECT over one
// table: no procedure call, no GROUP BY, no UNION, no join in its table list.
SQLUpdatability AnalyseUpdatability(const std::string& sql);
