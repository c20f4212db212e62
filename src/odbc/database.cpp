#include "odbc/database.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "odbc/data_source.h"
#include "odbc/recordset.h"
#include "odbc/sql_text.h"
#include "odbc/trace.h"

DB_STATE& db_state() {
    static DB_STATE* s = new DB_STATE;  // alive until the process ends, past static destructors
    return *s;
}

std::recursive_mutex& odbc_lock() {
    static std::recursive_mutex* m = new std::recursive_mutex;
    return *m;
}

namespace {

// Drivers such as the SQLite one load the driver manager's ini library for
// each connection and unload it on disconnect; the library keeps a cache
// whose memory is lost with every unload. Holding one reference for the life
// of the process keeps that cache alive and reused instead of leaking a
// little on every connection.
void keep_installer_library_loaded() {
    static void* handle = dlopen("libodbcinst.so.2", RTLD_LAZY | RTLD_LOCAL);
    (void)handle;
}

}  // namespace

CDatabase::CDatabase() = default;

CDatabase::~CDatabase() { Free(); }

bool CDatabase::OpenConnection(const char* connect, uint32_t options) {
    m_bUpdatable = (options & optReadOnly) == 0;
    try {
        m_strConnect = connect ? connect : "";
        m_secrets = connect_secrets(m_strConnect);
        AllocateConnection(options);
        if (!DriverConnect(options)) return false;
        VerifyConformance();
        ReadConnectInfo();
    } catch (...) {
        // Whatever failed, the half-made connection must not outlive the
        // open: free it (and the environment, if it was the last) first.
        Free();
        throw;
    }
    return true;
}

bool CDatabase::Open(const char* dsn, bool exclusive, bool readOnly, const char* connect,
                     bool useCursorLib) {
    std::string text = connect ? connect : "";
    if (!StartsWithNoCase(text, "ODBC;")) {
        db_trace("Error: Missing 'ODBC' prefix on connect string.\n");
        return false;
    }
    text.erase(0, 5);
    if (dsn && *dsn) {
        text += ";DSN=";
        text += dsn;
    }
    uint32_t options = 0;
    if (exclusive) options |= optExclusive;
    if (readOnly) options |= optReadOnly;
    if (useCursorLib) options |= optCursorLibrary;
    return OpenConnection(text.c_str(), options);
}

void CDatabase::AllocateConnection(uint32_t options) {
    if (m_hdbc != SQL_NULL_HDBC) return;
    {
        std::lock_guard<std::recursive_mutex> lock(odbc_lock());
        DB_STATE& st = db_state();
        if (st.henvAllConnections == SQL_NULL_HENV) {
            keep_installer_library_loaded();
            // Stored before the check so that a warning on it can be read.
            SQLRETURN rc = SQLAllocEnv(&st.henvAllConnections);
            if (!CheckReturn(rc)) {
                st.henvAllConnections = SQL_NULL_HENV;
                throw CMemoryException();
            }
        }
        // Allocate into a local so that a failed call cannot leave a stale
        // value in m_hdbc, which Close would then disconnect and count down.
        SQLHDBC hdbc = SQL_NULL_HDBC;
        SQLRETURN rc = SQLAllocConnect(st.henvAllConnections, &hdbc);
        if (!CheckReturn(rc)) RaiseError(rc);
        m_hdbc = hdbc;
        ++st.nAllocated;
    }

    SQLRETURN rc = SQLSetConnectOption(m_hdbc, SQL_LOGIN_TIMEOUT, m_dwLoginTimeout);
    if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO)
        db_trace_category(traceDatabase, "Warning: Failure setting login timeout.\n");

    if (!m_bUpdatable) {
        rc = SQLSetConnectOption(m_hdbc, SQL_ACCESS_MODE, SQL_MODE_READ_ONLY);
        if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO)
            db_trace_category(traceDatabase, "Warning: Failure setting read only access mode.\n");
    }

    if (options & optCursorLibrary) {
        SQLSetConnectOption(m_hdbc, SQL_ODBC_CURSORS, SQL_CUR_USE_ODBC);
        m_bCursorLibrary = true;
    }
}

bool CDatabase::DriverConnect(uint32_t options) {
    SQLUSMALLINT prompt = SQL_DRIVER_COMPLETE;
    if (options & optNoPrompt)
        prompt = SQL_DRIVER_NOPROMPT;
    else if (options & optForcePrompt)
        prompt = SQL_DRIVER_PROMPT;

    // There is no window system: the driver gets no parent window, so any
    // prompt it would need to show fails instead.
    std::vector<SQLCHAR> in(m_strConnect.begin(), m_strConnect.end());
    in.push_back('\0');
    SQLCHAR out[512];
    out[0] = '\0';
    SQLSMALLINT outLength = 0;
    SQLRETURN rc =
        SQLDriverConnect(m_hdbc, nullptr, in.data(), SQL_NTS, out, sizeof out, &outLength, prompt);
    m_strConnect = HideSecrets(m_strConnect);
    if (rc == SQL_NO_DATA_FOUND) {
        Free();
        return false;
    }
    if (!CheckReturn(rc)) {
        db_trace("Error: No default window (application main window) for SQLDriverConnect.\n");
        RaiseError(rc);
    }
    out[sizeof out - 1] = '\0';
    m_strConnect = "ODBC;" + HideSecrets(reinterpret_cast<const char*>(out));
    return true;
}

void CDatabase::VerifyConformance() {
    SQLUSMALLINT value = 0;
    SQLRETURN rc = SQLGetInfo(m_hdbc, SQL_ODBC_API_CONFORMANCE, &value, sizeof value, nullptr);
    if (!CheckReturn(rc)) RaiseError(rc);
    if (value < SQL_OAC_LEVEL1) RaiseError(DBERR_API_CONFORMANCE);

    SQLSMALLINT sqlLevel = 0;
    rc = SQLGetInfo(m_hdbc, SQL_ODBC_SQL_CONFORMANCE, &sqlLevel, sizeof sqlLevel, nullptr);
    if (!CheckReturn(rc)) RaiseError(rc);
    if (sqlLevel < SQL_OSC_MINIMUM) RaiseError(DBERR_SQL_CONFORMANCE);
}

void CDatabase::ReadConnectInfo() {
    m_dwUpdateCaps = 0;

    SQLUINTEGER dw = 0;
    SQLRETURN rc = SQLGetInfo(m_hdbc, SQL_POS_OPERATIONS, &dw, sizeof dw, nullptr);
    if (CheckReturn(rc) && (dw & (SQL_POS_UPDATE | SQL_POS_DELETE | SQL_POS_ADD)) ==
                               (SQL_POS_UPDATE | SQL_POS_DELETE | SQL_POS_ADD))
        m_dwUpdateCaps |= 0x1;

    dw = 0;
    rc = SQLGetInfo(m_hdbc, SQL_POSITIONED_STATEMENTS, &dw, sizeof dw, nullptr);
    if (CheckReturn(rc) && (dw & (SQL_PS_POSITIONED_DELETE | SQL_PS_POSITIONED_UPDATE)) ==
                               (SQL_PS_POSITIONED_DELETE | SQL_PS_POSITIONED_UPDATE))
        m_dwUpdateCaps |= 0x2;

    SQLUSMALLINT w = 0;
    rc = SQLGetInfo(m_hdbc, SQL_TXN_CAPABLE, &w, sizeof w, nullptr);
    if (CheckReturn(rc) && w != 0) m_bTransactions = true;

    SQLSMALLINT mode = 0;
    rc = SQLGetInfo(m_hdbc, SQL_CURSOR_COMMIT_BEHAVIOR, &mode, sizeof mode, nullptr);
    m_nCursorCommitMode = CheckReturn(rc) ? mode : -1;
    mode = 0;
    rc = SQLGetInfo(m_hdbc, SQL_CURSOR_ROLLBACK_BEHAVIOR, &mode, sizeof mode, nullptr);
    m_nCursorRollbackMode = CheckReturn(rc) ? mode : -1;

    dw = 0;
    rc = SQLGetInfo(m_hdbc, SQL_BOOKMARK_PERSISTENCE, &dw, sizeof dw, nullptr);
    CheckReturn(rc);  // traces a warning if any; the answer is taken either way
    m_dwBookmarkPersistence = dw;

    dw = 0;
    rc = SQLGetInfo(m_hdbc, SQL_GETDATA_EXTENSIONS, &dw, sizeof dw, nullptr);
    if (!CheckReturn(rc)) dw = 0;
    if (dw & SQL_GD_BOUND) m_dwUpdateCaps |= 0x4;

    if (m_bUpdatable) {
        char answer[10] = {0};
        SQLSMALLINT length = 0;
        rc = SQLGetInfo(m_hdbc, SQL_DATA_SOURCE_READ_ONLY, answer, sizeof answer, &length);
        answer[sizeof answer - 1] = '\0';
        if (CheckReturn(rc) && std::strlen(answer) == 1)
            m_bUpdatable = answer[0] != 'Y';
        else
            m_bUpdatable = false;
        if (!m_bUpdatable) db_trace_category(traceDatabase, "Warning: data source is readonly.\n");
    } else {
        SQLSetConnectOption(m_hdbc, SQL_ACCESS_MODE, SQL_MODE_READ_ONLY);
    }

    char quote[2] = {0};
    SQLSMALLINT quoteLength = 0;
    rc = SQLGetInfo(m_hdbc, SQL_IDENTIFIER_QUOTE_CHAR, quote, sizeof quote, &quoteLength);
    quote[1] = '\0';
    // The reported length catches a longer quote string cut to one character
    // by the two-byte buffer; its first character alone would be wrong.
    m_chIdentifierQuote =
        (CheckReturn(rc) && std::strlen(quote) == 1 && quoteLength == 1) ? quote[0] : ' ';

    if (trace_category_on(traceDatabase)) {
        char name[64] = {0};
        rc = SQLGetInfo(m_hdbc, SQL_DBMS_NAME, name, sizeof name, nullptr);
        name[sizeof name - 1] = '\0';
        if (CheckReturn(rc)) db_trace_category(traceDatabase, "DBMS: %s\n", name);
        rc = SQLGetInfo(m_hdbc, SQL_DBMS_VER, name, sizeof name, nullptr);
        name[sizeof name - 1] = '\0';
        if (CheckReturn(rc)) db_trace_category(traceDatabase, ", Version: %s\n", name);
    }
}

void CDatabase::Close() {
    {
        std::lock_guard<std::recursive_mutex> lock(odbc_lock());
        while (!m_listRecordsets.empty()) {
            CRecordset* rs = m_listRecordsets.front();
            rs->Close();
            // A recordset's Close removes it from the list; make sure it is
            // gone even if it did not, or this loop would never end.
            m_listRecordsets.remove(rs);
            rs->m_pDatabase = nullptr;
        }
    }
    if (m_hdbc != SQL_NULL_HDBC) {
        SQLDisconnect(m_hdbc);
        SQLFreeConnect(m_hdbc);
        m_hdbc = SQL_NULL_HDBC;
        std::lock_guard<std::recursive_mutex> lock(odbc_lock());
        --db_state().nAllocated;
    }
}

void CDatabase::Free() {
    try {
        Close();
    } catch (...) {
        db_trace("Error: exception by CDatabase::Close() ignored in CDatabase::Free().\n");
    }
    std::lock_guard<std::recursive_mutex> lock(odbc_lock());
    DB_STATE& st = db_state();
    if (st.henvAllConnections != SQL_NULL_HENV && st.nAllocated == 0) {
        if (SQLFreeEnv(st.henvAllConnections) != SQL_SUCCESS)
            db_trace("Error: SQLFreeEnv failure ignored in CDatabase::Free().\n");
        st.henvAllConnections = SQL_NULL_HENV;
    }
}

int CDatabase::ConnectionDead() {
    if (m_hdbc == SQL_NULL_HDBC) return 1;
    SQLUINTEGER dead = SQL_CD_FALSE;
    SQLRETURN rc = SQLGetConnectAttr(m_hdbc, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr);
    if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) return -1;
    return dead == SQL_CD_TRUE ? 1 : 0;
}

void CDatabase::ExecuteSQL(const char* sql) {
    SQLHSTMT statement = SQL_NULL_HSTMT;
    SQLRETURN rc = SQLAllocStmt(m_hdbc, &statement);
    if (!CheckReturn(rc)) RaiseError(rc);
    std::vector<SQLCHAR> text(sql, sql + std::strlen(sql) + 1);
    do {
        rc = SQLExecDirect(statement, text.data(), SQL_NTS);
    } while (rc == SQL_STILL_EXECUTING);
    if (!CheckReturnOnStatement(this, rc, statement)) {
        CDBException failure(rc);
        failure.CollectErrors(this, statement, true);
        SQLFreeStmt(statement, SQL_DROP);
        throw failure;
    }
    SQLFreeStmt(statement, SQL_DROP);
}

std::string CDatabase::GetInfoText(SQLUSMALLINT type) {
    std::vector<char> answer(256, '\0');
    SQLSMALLINT length = 0;
    SQLRETURN rc =
        SQLGetInfo(m_hdbc, type, answer.data(), static_cast<SQLSMALLINT>(answer.size()), &length);
    if (rc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(answer.size())) {
        answer.assign(static_cast<std::size_t>(length) + 1, '\0');
        rc = SQLGetInfo(m_hdbc, type, answer.data(), static_cast<SQLSMALLINT>(answer.size()),
                        &length);
    }
    if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) return std::string();
    answer.back() = '\0';
    return answer.data();
}

void CDatabase::ApplyStatementOptions(SQLHSTMT statement) {
    if (m_dwQueryTimeout == kNoQueryTimeout) return;
    SQLRETURN rc = SQLSetStmtOption(statement, SQL_QUERY_TIMEOUT, m_dwQueryTimeout);
    if (!CheckReturn(rc)) m_dwQueryTimeout = kNoQueryTimeout;
}

bool CDatabase::CheckReturn(SQLRETURN code) {
    return CheckReturnOnStatement(this, code, SQL_NULL_HSTMT);
}

void CDatabase::BindStatementParameters(SQLHSTMT) {}

void CDatabase::RaiseError(SQLRETURN code) { RaiseDBException(code, this, m_hstmt); }

void CDatabase::ReplaceQuoteBrackets(std::string& text) const {
    // Every statement passes here at each open. The text never grows (a
    // doubled bracket becomes one), so it is rewritten in place, through a
    // plain pointer so that the string's own fields are not read again at
    // every byte.
    char* const p = &text[0];
    const std::size_t n = text.size();
    std::size_t out = 0;
    bool literal = false;
    for (std::size_t i = 0; i < n; ++i) {
        const char c = p[i];
        if (c != '\'' && c != '[' && c != ']') {
            p[out++] = c;
            continue;
        }
        const char next = i + 1 < n ? p[i + 1] : '\0';
        if (c == '\'') {
            if (next == '\'') {
                p[out++] = '\'';
                p[out++] = '\'';
                ++i;
            } else {
                literal = !literal;
                p[out++] = c;
            }
        } else if (!literal) {
            if (next == c) {
                p[out++] = c;
                ++i;
            } else {
                p[out++] = m_chIdentifierQuote;
            }
        } else {
            p[out++] = c;
        }
    }
    text.resize(out);
}

std::string CDatabase::HideSecrets(const std::string& text) const {
    return hide_secrets(text, m_secrets);
}
