#include "odbc/db_exception.h"

#include <cstdio>
#include <cstring>

#include "odbc/database.h"
#include "odbc/trace.h"

bool CException::GetMessageText(char* buffer, unsigned size, unsigned* helpContext) const {
    if (helpContext) *helpContext = 0;
    if (buffer && size > 0) buffer[0] = '\0';
    return false;
}

bool CDBException::GetMessageText(char* buffer, unsigned size, unsigned* helpContext) const {
    if (helpContext) *helpContext = 0;
    // A zero-sized buffer has no last byte to clear: writing "buffer[size-1]"
    // there would land before the caller's buffer.
    if (!buffer || size == 0) return true;
    size_t room = size >= 2 ? size - 2 : 0;
    size_t n = m_strErrorText.size() < room ? m_strErrorText.size() : room;
    std::memcpy(buffer, m_strErrorText.data(), n);
    buffer[n] = '\0';
    buffer[size - 1] = '\0';
    return true;
}

const char* CDBException::what() const noexcept {
    if (!m_strErrorText.empty()) return m_strErrorText.c_str();
    return "CDBException";
}

bool CDBException::HasState(const char* state) const {
    for (const std::string& s : m_states)
        if (s == state) return true;
    return false;
}

void CDBException::CollectErrors(CDatabase* database, SQLHSTMT statement, bool trace) {
    if (!database) return;

    SQLCHAR state[6];
    SQLINTEGER native = 0;
    SQLCHAR message[512];
    SQLSMALLINT length = 0;
    SQLHENV henv = db_state().henvAllConnections;

    auto next_record = [&]() {
        state[0] = '\0';
        message[0] = '\0';
        SQLRETURN rc =
            SQLError(henv, database->m_hdbc, statement, state, &native, message, 511, &length);
        // Keep the texts terminated even if a driver forgets to.
        state[5] = '\0';
        message[511] = '\0';
        return rc;
    };

    SQLRETURN rc = next_record();
    while ((rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO) &&
           std::strcmp(reinterpret_cast<const char*>(state), "00000") != 0) {
        std::string text = database->HideSecrets(reinterpret_cast<const char*>(message));
        char native_text[64];
        std::snprintf(native_text, sizeof native_text,
                      ",Native:%ld,Origin:", static_cast<long>(native));
        std::string head = reinterpret_cast<const char*>(state);
        head += native_text;

        // Leading "[vendor][component]" tags name where the message came
        // from; they go to the state line so that the error line reads as
        // plain text.
        while (!text.empty() && text[0] == '[') {
            size_t close = text.find(']');
            if (close == std::string::npos) break;
            size_t n = close + 1;
            head.append(text, 0, n);
            if (n < text.size() && text[n] == ' ') ++n;
            text.erase(0, n);
        }
        head += "\n";

        m_states.emplace_back(reinterpret_cast<const char*>(state));
        m_natives.push_back(static_cast<long>(native));
        m_strStateText += "State:" + head;
        m_strErrorText += text + "\n";
        if (trace) {
            TraceWrapped(text);
            TraceWrapped("State:" + head);
        }
        rc = next_record();
    }
}

void RaiseDBException(SQLRETURN code, CDatabase* database, SQLHSTMT statement) {
    CDBException e(code);
    if (code == SQL_ERROR && database) {
        e.CollectErrors(database, statement, true);
    } else if (code > 1000 && code < 1029) {
        // The layer's codes have no message text of their own.
        db_trace("%s\n", e.m_strErrorText.c_str());
    }
    throw e;
}

void TraceSuccessWithInfo(CDatabase* database, SQLHSTMT statement) {
    if (!trace_category_on(traceDatabase)) return;
    CDBException e(SQL_SUCCESS_WITH_INFO);
    db_trace("Warning: ODBC Success With Info, ");
    e.CollectErrors(database, statement, true);
}

bool CheckReturnOnStatement(CDatabase* database, SQLRETURN code, SQLHSTMT statement) {
    switch (code) {
    case SQL_SUCCESS:
    case SQL_NO_DATA_FOUND:
        return true;
    case SQL_SUCCESS_WITH_INFO:
        TraceSuccessWithInfo(database, statement);
        return true;
    default:
        return false;
    }
}
