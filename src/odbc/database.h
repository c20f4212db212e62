// The ODBC connection of the class layer: one CDatabase owns one connection
// handle inside the environment that every connection of the process shares,
// checks the driver on open, records what it can do, and closes the
// recordsets that still run on it before it disconnects.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "odbc/db_exception.h"

class CRecordset;

// Process-wide ODBC state, created on first use and alive until the process
// ends. Read and changed only under odbc_lock().
struct DB_STATE {
    SQLHENV henvAllConnections = SQL_NULL_HENV;  // null until the first connection
    int32_t nAllocated = 0;                      // connection handles allocated and not yet freed
};
DB_STATE& db_state();

// The one process-wide lock over DB_STATE and every connection's recordset
// list. Recursive because Close holds it while each recordset's Close takes
// it again.
std::recursive_mutex& odbc_lock();

class CDatabase {
public:
    // Option bits of OpenConnection.
    enum : uint32_t {
        optExclusive = 0x01,  // not supported: must not be given
        optReadOnly = 0x02,
        optCursorLibrary = 0x04,
        optNoPrompt = 0x08,
        optForcePrompt = 0x10,
    };

    CDatabase();
    virtual ~CDatabase();
    CDatabase(const CDatabase&) = delete;
    CDatabase& operator=(const CDatabase&) = delete;

    // Connects with a connect string of ODBC pieces ("DSN=...;UID=...;").
    // True when connected; false only when the driver reports that a prompt
    // was cancelled (SQL_NO_DATA_FOUND). Every other failure throws a
    // CDBException (or CMemoryException) after the connection is freed.
    virtual bool OpenConnection(const char* connect, uint32_t options);
    // Older entry: connect must begin with "ODBC;" (any letter case); a
    // non-empty dsn is appended as ";DSN=<dsn>".
    virtual bool Open(const char* dsn, bool exclusive, bool readOnly, const char* connect,
                      bool useCursorLib);
    // Closes the recordsets on this connection, disconnects and frees the
    // connection handle; the environment stays.
    virtual void Close();
    // Called for every statement a recordset allocates on this connection.
    virtual void ApplyStatementOptions(SQLHSTMT statement);
    virtual bool CheckReturn(SQLRETURN code);
    virtual void BindStatementParameters(SQLHSTMT statement);
    [[noreturn]] virtual void RaiseError(SQLRETURN code);

    // Close, swallowing its failure, then frees the shared environment when
    // no connection handle is left. Never throws.
    void Free();
    bool IsOpen() const { return m_hdbc != SQL_NULL_HDBC; }

    // Rewrites bracketed identifiers in a SQL text to the driver's quote
    // character, leaving string literals alone: "[t]" -> "\"t\"", "[[" -> "[".
    void ReplaceQuoteBrackets(std::string& text) const;

    bool IsUpdatable() const { return m_bUpdatable; }
    bool CanTransact() const { return m_bTransactions; }
    const std::string& GetConnect() const { return m_strConnect; }
    uint32_t GetBookmarkPersistence() const { return m_dwBookmarkPersistence; }
    int16_t GetCursorCommitBehavior() const { return m_nCursorCommitMode; }
    int16_t GetCursorRollbackBehavior() const { return m_nCursorRollbackMode; }
    void SetLoginTimeout(uint32_t seconds) { m_dwLoginTimeout = seconds; }
    void SetQueryTimeout(uint32_t seconds) { m_dwQueryTimeout = seconds; }

    // Whether the driver holds the connection for lost
    // (SQL_ATTR_CONNECTION_DEAD): 1 lost, 0 alive, -1 when the driver
    // cannot tell. Some drivers ask the server, so it costs a round trip.
    int ConnectionDead();
    // Executes a statement that returns no rows the caller wants (a
    // setting of the session). Throws CDBException when it fails.
    void ExecuteSQL(const char* sql);
    // A text answer of SQLGetInfo (SQL_DBMS_NAME, SQL_DATABASE_NAME);
    // empty when the driver gives none.
    std::string GetInfoText(SQLUSMALLINT type);

    // The steps of OpenConnection, public so that tests and subclasses can
    // drive them one by one.
    void AllocateConnection(uint32_t options);
    bool DriverConnect(uint32_t options);
    void VerifyConformance();
    void ReadConnectInfo();

    // The text with every password of the connection (the connect string's,
    // the data source's) hidden: a driver that quotes its connect string in
    // an error must not carry one into the log or the trace.
    std::string HideSecrets(const std::string& text) const;

    // A query timeout of all ones means that no timeout is set.
    static constexpr uint32_t kNoQueryTimeout = 0xFFFFFFFFu;

    SQLHDBC m_hdbc = SQL_NULL_HDBC;
    bool m_bTransactionPending = false;
    bool m_bCursorLibrary = false;
    bool m_bForUpdate = false;
    char m_chIdentifierQuote = ' ';
    // The connect string; once the driver has answered, its own completed
    // form, passwords hidden.
    std::string m_strConnect;
    // The passwords the open (or last opened) connection uses.
    std::vector<std::string> m_secrets;
    // Recordsets holding a statement on this connection; they add and remove
    // themselves under odbc_lock().
    std::list<CRecordset*> m_listRecordsets;
    bool m_bUpdatable = false;
    bool m_bTransactions = false;
    int16_t m_nCursorCommitMode = -1;
    int16_t m_nCursorRollbackMode = -1;
    uint32_t m_dwUpdateCaps = 0;  // 0x1 SQLSetPos, 0x2 positioned SQL, 0x4 GetData on bound
    uint32_t m_dwBookmarkPersistence = 0;
    uint32_t m_dwLoginTimeout = 15;
    SQLHSTMT m_hstmt = SQL_NULL_HSTMT;
    uint32_t m_dwQueryTimeout = 15;
};
