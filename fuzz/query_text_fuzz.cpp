// The table query's statement split under hostile text. Any statement must
// split without a fault into trimmed names (at most 20) and a table without
// blanks; a statement built the way the directory builds its own, from
// columns and a table that hold no keyword, must come apart into exactly
// those columns, that table and that filter. strip_blanks and trim_blanks
// must remove blanks and nothing else.
#include "dbwrap/query_text.h"
#include "fuzz_support.h"

namespace {

bool blank(char c) { return c == ' ' || c == '\t'; }

std::string without_blanks(const std::string& text) {
    std::string out;
    for (char c : text)
        if (!blank(c)) out += c;
    return out;
}

std::string trimmed(const std::string& text) {
    std::size_t first = 0, last = text.size();
    while (first < last && blank(text[first])) ++first;
    while (last > first && blank(text[last - 1])) --last;
    return text.substr(first, last - first);
}

bool holds_keyword(const std::string& text) {
    return text.find("SELECT") != std::string::npos || text.find("FROM") != std::string::npos ||
           text.find("WHERE") != std::string::npos;
}

void check_blanks(const std::string& text) {
    std::string stripped = text;
    strip_blanks(&stripped);
    FUZZ_CHECK(stripped == without_blanks(text), text);
    std::string trim = text;
    trim_blanks(&trim);
    FUZZ_CHECK(trim == trimmed(text), text);
    strip_blanks(nullptr);
    trim_blanks(nullptr);
}

// The select list cut at its commas must join back into itself: no
// character is lost or added, even past the twentieth name.
void check_column_list(const std::string& list) {
    std::vector<std::string> names = split_column_list(list);
    FUZZ_CHECK(!names.empty() && names.size() <= max_query_columns, list);
    std::string joined;
    for (std::size_t i = 0; i < names.size(); ++i) joined += (i == 0 ? "" : ",") + names[i];
    FUZZ_CHECK(joined == list, list);
    for (std::size_t i = 0; i + 1 < names.size(); ++i)
        FUZZ_CHECK(names[i].find(',') == std::string::npos, list);
}

void check_any_statement(const std::string& statement) {
    query_parts parts = split_query(statement);
    FUZZ_CHECK(parts.names.size() <= max_query_columns, statement);
    for (const std::string& name : parts.names) FUZZ_CHECK(name == trimmed(name), statement);
    FUZZ_CHECK(parts.table == without_blanks(parts.table), statement);
    FUZZ_CHECK(parts.key_column == trimmed(parts.key_column), statement);
    if (parts.has_filter) {
        FUZZ_CHECK(statement.find("WHERE") != std::string::npos, statement);
        const std::string& f = parts.filter;
        FUZZ_CHECK(statement.size() >= f.size() &&
                       statement.compare(statement.size() - f.size(), f.size(), f) == 0,
                   statement);
    }
}

// Pieces cut at line feeds: the table, the filter, then the columns.
void check_built_statement(const std::vector<std::string>& pieces) {
    if (pieces.size() < 3 || pieces.size() - 2 > max_query_columns) return;
    const std::string& table = pieces[0];
    const std::string& filter = pieces[1];
    std::vector<std::string> columns(pieces.begin() + 2, pieces.end());
    if (holds_keyword(table) || table.find(',') != std::string::npos) return;
    std::string list;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (holds_keyword(columns[i]) || columns[i].find(',') != std::string::npos) return;
        list += (i == 0 ? "" : ",") + columns[i];
    }
    std::string statement = "SELECT " + list + " FROM " + table + " WHERE " + filter;
    query_parts parts = split_query(statement);
    FUZZ_CHECK(parts.has_select && parts.has_table && parts.has_filter, statement);
    FUZZ_CHECK(parts.filter == filter, statement);
    FUZZ_CHECK(parts.table == without_blanks(table), statement);
    FUZZ_CHECK(parts.key_column == trimmed(filter.substr(0, filter.find('='))), statement);
    FUZZ_CHECK(parts.names.size() == columns.size(), statement);
    for (std::size_t i = 0; i < columns.size(); ++i)
        FUZZ_CHECK(parts.names[i] == trimmed(columns[i]), statement);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    check_blanks(text);
    check_any_statement(text);
    check_column_list(text);
    check_built_statement(fuzz_pieces(data, size, '\n'));
    return 0;
}
