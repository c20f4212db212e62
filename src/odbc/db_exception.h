// Errors of the ODBC class layer: every failed ODBC call becomes a
// CDBException carrying the return code and the driver manager's diagnostic
// records, so that callers above never have to look at ODBC return codes.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <exception>
#include <string>
#include <vector>

class CDatabase;

// The layer's own error codes. They travel in the same 16-bit field as ODBC
// return codes, strictly between 1000 and 1029, and never come from a driver.
constexpr SQLRETURN DBERR_FORWARD_ONLY = 1002;
constexpr SQLRETURN DBERR_NO_COLUMNS = 1003;
constexpr SQLRETURN DBERR_KEYSET_UNSUPPORTED = 1012;
constexpr SQLRETURN DBERR_STATIC_UNSUPPORTED = 1013;
constexpr SQLRETURN DBERR_API_CONFORMANCE = 1014;
constexpr SQLRETURN DBERR_SQL_CONFORMANCE = 1015;
constexpr SQLRETURN DBERR_NO_DATA = 1016;
constexpr SQLRETURN DBERR_DRIVER_TOO_OLD = 1018;
constexpr SQLRETURN DBERR_DATA_TRUNCATED = 1021;
constexpr SQLRETURN DBERR_ROW_FETCH = 1022;
constexpr SQLRETURN DBERR_DYNAMIC_CURSOR_UNSUPPORTED = 1025;
constexpr SQLRETURN DBERR_FIELD_NOT_FOUND = 1026;

// Base of the layer's exceptions. Thrown by value, caught by reference.
class CException : public std::exception {
public:
    ~CException() override = default;
    // Copies the message into buffer (at most size bytes, always terminated
    // when size > 0); stores 0 in *helpContext when given.
    virtual bool GetMessageText(char* buffer, unsigned size, unsigned* helpContext = nullptr) const;
    const char* what() const noexcept override { return "CException"; }
};

// Thrown when the ODBC environment cannot be allocated.
class CMemoryException : public CException {
public:
    const char* what() const noexcept override { return "out of memory"; }
};

class CDBException : public CException {
public:
    explicit CDBException(SQLRETURN code = SQL_SUCCESS) : m_nReturnCode(code) {}

    // Copies at most size - 2 characters of the error text, terminated, and
    // zeroes the last byte of the buffer. Always answers true.
    bool GetMessageText(char* buffer, unsigned size,
                        unsigned* helpContext = nullptr) const override;

    // Appends the diagnostic records pending on (environment, the database's
    // connection, statement) to the two texts, consuming them. Does nothing
    // for a null database.
    virtual void CollectErrors(CDatabase* database, SQLHSTMT statement, bool trace);

    const char* what() const noexcept override;

    // Whether one of the collected records carries this SQLSTATE.
    bool HasState(const char* state) const;

    SQLRETURN m_nReturnCode;
    // One line per record: the message without its leading bracketed tags.
    std::string m_strErrorText;
    // One line per record: "State:" SQLSTATE ",Native:" n ",Origin:" tags.
    std::string m_strStateText;
    // The SQLSTATE of each record, in the same order: callers judge an error
    // by its states without reading the texts.
    std::vector<std::string> m_states;
    // The native error of each record, in the same order: where a driver
    // gives only a general state, its own number still tells the cause.
    std::vector<long> m_natives;
};

// Builds and throws a CDBException for code; collects the diagnostic records
// when the code is SQL_ERROR and a database is given.
[[noreturn]] void RaiseDBException(SQLRETURN code, CDatabase* database = nullptr,
                                   SQLHSTMT statement = SQL_NULL_HSTMT);

// The connection's judgement of a return code: true means "go on".
// SQL_SUCCESS, SQL_SUCCESS_WITH_INFO and SQL_NO_DATA_FOUND go on; with the
// database trace category on, SUCCESS_WITH_INFO records are traced.
bool CheckReturnOnStatement(CDatabase* database, SQLRETURN code,
                            SQLHSTMT statement = SQL_NULL_HSTMT);

// Traces "Warning: ODBC Success With Info, " and the pending records of
// (database, statement) when the database trace category is on; shared by
// the connection's and the recordset's return-code checks.
void TraceSuccessWithInfo(CDatabase* database, SQLHSTMT statement);
