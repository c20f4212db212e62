#include "odbc/sql_text.h"

#include <cstring>

namespace {

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Whether `sql` holds `token` at `pos`, letters compared in upper case.
bool TokenAt(const std::string& sql, std::string::size_type pos, const char* token,
             std::string::size_type tokenLength) {
    for (std::string::size_type k = 0; k < tokenLength; ++k)
        if (UpperAscii(sql[pos + k]) != token[k]) return false;
    return true;
}

// Walks `sql` from its start, keeping track of whether the walk stands inside
// a literal or a bracketed name. Doubled quotes and doubled brackets are
// escapes and do not change the state. Every statement is analysed at each
// open, so the walk goes on from where the last question left it instead of
// starting again for every candidate position.
class QuoteScanner {
public:
    explicit QuoteScanner(const std::string& sql) : m_sql(sql) {}

    // Whether position `pos` lies inside a literal or a bracketed name; the
    // positions asked about must not decrease.
    bool IsQuoted(std::string::size_type pos) {
        for (; m_next < pos; ++m_next) {
            char c = m_sql[m_next];
            bool doubled = m_next + 1 < m_sql.size() && m_sql[m_next + 1] == c;
            if (c == '\'') {
                if (doubled) {
                    ++m_next;
                    continue;
                }
                m_inLiteral = !m_inLiteral;
            } else if (!m_inLiteral && (c == '[' || c == ']')) {
                if (doubled) {
                    ++m_next;
                    continue;
                }
                m_depth += c == '[' ? 1 : -1;
            }
        }
        return m_inLiteral || m_depth > 0;
    }

private:
    const std::string& m_sql;
    std::string::size_type m_next = 0;
    bool m_inLiteral = false;
    int m_depth = 0;
};

}  // namespace

std::string::size_type FindSQLToken(const std::string& sql, const char* token,
                                    std::string::size_type from) {
    const std::string::size_type tokenLength = std::strlen(token);
    if (from > sql.size() || sql.size() - from < tokenLength) return std::string::npos;
    QuoteScanner scanner(sql);
    const std::string::size_type last = sql.size() - tokenLength;
    // The keywords looked for begin with a blank or a comma, which a plain
    // character search finds quickly; a token that begins with a letter is
    // tried at every position.
    const char first = tokenLength > 0 ? token[0] : '\0';
    const bool plainFirst =
        tokenLength > 0 && !(first >= 'A' && first <= 'Z') && !(first >= 'a' && first <= 'z');
    for (std::string::size_type pos = from; pos <= last; ++pos) {
        if (plainFirst) {
            pos = sql.find(first, pos);
            if (pos == std::string::npos || pos > last) return std::string::npos;
        }
        if (!TokenAt(sql, pos, token, tokenLength)) continue;
        if (!scanner.IsQuoted(pos)) return pos;
        // A match inside a literal is stepped over whole.
        pos += tokenLength == 0 ? 0 : tokenLength - 1;
    }
    return std::string::npos;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::string_view::size_type i = 0; i < a.size(); ++i)
        if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
    return true;
}

bool StartsWithNoCase(const std::string& sql, const char* prefix) {
    const std::string_view text = sql, start = prefix;
    return text.size() >= start.size() && EqualsNoCase(text.substr(0, start.size()), start);
}

SQLUpdatability AnalyseUpdatability(const std::string& sql) {
    SQLUpdatability result;
    if (StartsWithNoCase(sql, "{CALL") || StartsWithNoCase(sql, "{")) return result;

    const std::string::size_type from = FindSQLToken(sql, " FROM ");
    if (from == std::string::npos) {
        result.warning = "Warning: Missing ' FROM ', recordset not updatable \n";
        return result;
    }
    if (FindSQLToken(sql, " GROUP BY ") != std::string::npos) {
        result.warning = "Warning: SQL contains ' GROUP BY ', recordset not updatable \n";
        return result;
    }
    if (FindSQLToken(sql, " UNION ") != std::string::npos) {
        result.warning = "Warning: SQL contains ' UNION ', recordset not updatable \n";
        return result;
    }

    // The table list ends at WHERE or ORDER BY; both are looked for only after
    // FROM, so a keyword in the select list cannot give a list that ends
    // before it starts.
    const std::string::size_type afterFrom = from + 6;
    const std::string::size_type where = FindSQLToken(sql, " WHERE ", afterFrom);
    const std::string::size_type orderBy = FindSQLToken(sql, " ORDER BY ", afterFrom);
    std::string::size_type end = sql.size();
    if (where != std::string::npos && (orderBy == std::string::npos || where < orderBy))
        end = where;
    else if (orderBy != std::string::npos)
        end = orderBy;

    const std::string tableList = sql.substr(from, end - from);
    if (FindSQLToken(tableList, ",") != std::string::npos ||
        FindSQLToken(tableList, " JOIN ") != std::string::npos) {
        result.warning = "Warning: SQL contains join, recordset not updatable \n";
        return result;
    }
    result.tableName = tableList.substr(6);
    result.updatable = true;
    return result;
}
