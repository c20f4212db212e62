// Stand-ins for the few ODBC calls whose answers no real driver can be made
// to give on demand (chosen diagnostic records, SQLError failing, a driver
// that reports itself read-only or too old, a rejected query timeout, no
// environment). The test program defines these ODBC entry points itself; they
// pass every call on to the real driver manager unless a script is active.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct fake_record {
    std::string state;
    long native;
    std::string message;
};

// While alive, SQLError answers with the records in order, then with end.
class scripted_sql_error {
public:
    explicit scripted_sql_error(std::vector<fake_record> records,
                                SQLRETURN end = SQL_NO_DATA_FOUND);
    ~scripted_sql_error();
    int calls() const;
};

struct fake_info {
    SQLRETURN rc;
    std::string bytes;  // raw answer; text answers include no terminator
    bool text;
};
fake_info info_u16(uint16_t v, SQLRETURN rc = SQL_SUCCESS);
fake_info info_u32(uint32_t v, SQLRETURN rc = SQL_SUCCESS);
fake_info info_text(const std::string& s, SQLRETURN rc = SQL_SUCCESS);

// While alive, SQLGetInfo answers the listed information types from the
// table; others go to the driver.
class scripted_get_info {
public:
    explicit scripted_get_info(std::map<SQLUSMALLINT, fake_info> answers);
    ~scripted_get_info();
};

// While alive, SQLSetStmtOption(SQL_QUERY_TIMEOUT) answers rc (SQL_SUCCESS:
// the call goes on to the driver) and its values are recorded.
class failing_query_timeout {
public:
    explicit failing_query_timeout(SQLRETURN rc);
    ~failing_query_timeout();
    const std::vector<SQLULEN>& values() const;
};

// While alive, SQLAllocEnv fails.
class failing_alloc_env {
public:
    failing_alloc_env();
    ~failing_alloc_env();
};

// Records, while alive, the connection options set and the prompt mode and
// window handed to SQLDriverConnect; the calls still reach the driver.
class connect_recorder {
public:
    connect_recorder();
    ~connect_recorder();
    // (option, value) of every SQLSetConnectOption, in order.
    const std::vector<std::pair<SQLUSMALLINT, SQLULEN>>& options() const;
    // Prompt mode of every SQLDriverConnect, and whether any got a window.
    const std::vector<SQLUSMALLINT>& prompts() const;
    bool any_window() const;
};
