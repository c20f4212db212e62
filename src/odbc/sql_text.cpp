#include "odbc/sql_text.h"

#include <cctype>
#include <cstring>

namespace {

std::string UpperCopy(const std::string& text) {
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

// Whether position `pos` of `sql` lies inside a literal or a bracketed name.
// Doubled quotes and doubled brackets are escapes and do not change the state.
bool IsQuoted(const std::string& sql, std::string::size_type pos) {
  bool inLiteral = false;
  int depth = 0;
  for (std::string::size_type i = 0; i < pos; ++i) {
    char c = sql[i];
    bool doubled = i + 1 < sql.size() && sql[i + 1] == c;
    if (c == '\'') {
      if (doubled) {
        ++i;
        continue;
      }
      inLiteral = !inLiteral;
    } else if (!inLiteral && (c == '[' || c == ']')) {
      if (doubled) {
        ++i;
        continue;
      }
      depth += c == '[' ? 1 : -1;
    }
  }
  return inLiteral || depth > 0;
}

}  // namespace

std::string::size_type FindSQLToken(const std::string& sql, const char* token,
                                    std::string::size_type from) {
  const std::string upper = UpperCopy(sql);
  const std::string::size_type tokenLength = std::strlen(token);
  std::string::size_type pos = upper.find(token, from);
  while (pos != std::string::npos && IsQuoted(sql, pos)) pos = upper.find(token, pos + tokenLength);
  return pos;
}

bool StartsWithNoCase(const std::string& sql, const char* prefix) {
  std::string::size_type n = std::strlen(prefix);
  if (sql.size() < n) return false;
  for (std::string::size_type i = 0; i < n; ++i)
    if (std::toupper(static_cast<unsigned char>(sql[i])) != std::toupper(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
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
