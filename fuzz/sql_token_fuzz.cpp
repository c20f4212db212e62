// The token search and the updatability analysis under hostile statements.
// Every position the search reports must hold the token (in any letter case)
// and lie outside literals and bracketed names as a single forward reading
// of the text sees them: a "'" opens or closes a literal ("''" is one escaped
// quote), "[" and "]" outside literals raise and lower the bracket depth
// ("[[" and "]]" are escapes), and a position is inside while a literal is
// open or the depth is above zero.
#include "fuzz_support.h"
#include "odbc/sql_text.h"

namespace {

const char* const tokens[] = {" FROM ", " WHERE ", " ORDER BY ", " GROUP BY ", " UNION ",
                              " JOIN ", ",",       "SELECT",     "'",          "["};

// inside[i]: whether character i lies in a literal or a bracketed name.
std::vector<bool> inside_map(const std::string& sql) {
    std::vector<bool> inside(sql.size() + 1, false);
    bool literal = false;
    int depth = 0;
    std::size_t i = 0;
    while (i < sql.size()) {
        inside[i] = literal || depth > 0;
        char c = sql[i];
        bool doubled = i + 1 < sql.size() && sql[i + 1] == c;
        if (c == '\'' || (!literal && (c == '[' || c == ']'))) {
            if (doubled) {
                inside[i + 1] = inside[i];
                i += 2;
                continue;
            }
            if (c == '\'')
                literal = !literal;
            else
                depth += c == '[' ? 1 : -1;
        }
        ++i;
    }
    inside[sql.size()] = literal || depth > 0;
    return inside;
}

bool holds_token(const std::string& sql, std::size_t pos, const std::string& token) {
    if (pos + token.size() > sql.size()) return false;
    for (std::size_t i = 0; i < token.size(); ++i)
        if (fuzz_upper(sql[pos + i]) != token[i]) return false;
    return true;
}

void check_search(const std::string& sql, const std::vector<bool>& inside, const std::string& token,
                  std::size_t from) {
    std::size_t pos = FindSQLToken(sql, token.c_str(), from);
    if (pos == std::string::npos) return;
    FUZZ_CHECK(pos >= from, token + " in " + sql);
    FUZZ_CHECK(holds_token(sql, pos, token), token + " in " + sql);
    // A token that itself begins with a quote or bracket changes the state
    // at its own first character; the state before it is what counts.
    FUZZ_CHECK(!inside[pos], token + " at " + std::to_string(pos) + " in " + sql);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::string sql(reinterpret_cast<const char*>(data), size);
    std::vector<bool> inside = inside_map(sql);
    for (const char* token : tokens) {
        // From every start, so that a search begun mid-literal is covered.
        for (std::size_t from = 0; from <= sql.size() && from < 16; ++from)
            check_search(sql, inside, token, from);
        check_search(sql, inside, token, sql.size() + 1);
    }

    SQLUpdatability verdict = AnalyseUpdatability(sql);
    if (verdict.updatable) {
        FUZZ_CHECK(verdict.warning == nullptr, sql);
        std::size_t from = FindSQLToken(sql, " FROM ");
        FUZZ_CHECK(from != std::string::npos, sql);
        FUZZ_CHECK(sql.compare(from + 6, verdict.tableName.size(), verdict.tableName) == 0, sql);
        FUZZ_CHECK(FindSQLToken(sql, " GROUP BY ") == std::string::npos, sql);
        FUZZ_CHECK(FindSQLToken(sql, " UNION ") == std::string::npos, sql);
    } else {
        FUZZ_CHECK(verdict.tableName.empty(), sql);
    }
    return 0;
}
