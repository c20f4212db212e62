#include "dbwrap/query_text.h"

#include <algorithm>

#include "config/ascii_text.h"

namespace {

// The text from `offset` characters after `start` up to `end`; a keyword at
// the very end of the statement gives an empty text rather than running off.
std::string tail(const std::string& text, std::size_t start, std::size_t offset, std::size_t end) {
    std::size_t from = std::min(start + offset, end);
    return text.substr(from, end - from);
}

// Where `word` stands as a word of its own at or after `from`: a blank (or
// the start) before it and a blank (or the end) after it. A name that merely
// holds the word (FWD_FROM, a table FROMmaildb, WHERE_USER) is no keyword.
std::size_t find_keyword(const std::string& text, const char* word, std::size_t from) {
    const std::size_t length = std::char_traits<char>::length(word);
    for (std::size_t at = text.find(word, from); at != std::string::npos;
         at = text.find(word, at + 1)) {
        const bool before = at == 0 || is_blank(text[at - 1]);
        const bool after = at + length == text.size() || is_blank(text[at + length]);
        if (before && after) return at;
    }
    return std::string::npos;
}

}  // namespace

void strip_blanks(std::string* text) {
    if (!text) return;
    text->erase(std::remove_if(text->begin(), text->end(), is_blank), text->end());
}

void trim_blanks(std::string* text) {
    if (!text) return;
    std::size_t first = 0;
    while (first < text->size() && is_blank((*text)[first])) ++first;
    std::size_t last = text->size();
    while (last > first && is_blank((*text)[last - 1])) --last;
    *text = text->substr(first, last - first);
}

std::vector<std::string> split_column_list(const std::string& list) {
    std::vector<std::string> names;
    std::size_t start = 0;
    for (;;) {
        if (names.size() + 1 == max_query_columns) {
            names.push_back(list.substr(start));
            break;
        }
        std::size_t comma = list.find(',', start);
        if (comma == std::string::npos) {
            names.push_back(list.substr(start));
            break;
        }
        names.push_back(list.substr(start, comma - start));
        start = comma + 1;
        if (start == list.size()) {
            names.emplace_back();
            break;
        }
    }
    return names;
}

query_parts split_query(const std::string& statement) {
    query_parts parts;
    std::size_t end = statement.size();

    // Taken left to right, each keyword after the one before it, as the
    // directory writes them.
    std::size_t after = 0;
    const std::size_t select = find_keyword(statement, "SELECT", after);
    if (select != std::string::npos) after = select + 6;
    const std::size_t from = find_keyword(statement, "FROM", after);
    if (from != std::string::npos) after = from + 4;
    const std::size_t where = find_keyword(statement, "WHERE", after);

    if (where != std::string::npos) {
        parts.has_filter = true;
        parts.filter = tail(statement, where, 6, statement.size());
        parts.key_column = parts.filter.substr(0, parts.filter.find('='));
        trim_blanks(&parts.key_column);
        end = where;
    }

    if (from != std::string::npos) {
        parts.has_table = true;
        parts.table = tail(statement, from, 5, end);
        strip_blanks(&parts.table);
        end = from;
    }

    std::string column_text;
    if (select != std::string::npos) {
        parts.has_select = true;
        column_text = tail(statement, select, 6, end);
    }

    if (parts.has_table && parts.has_select) {
        trim_blanks(&parts.table);
        parts.names = split_column_list(column_text);
        for (std::string& name : parts.names) trim_blanks(&name);
    }
    return parts;
}
