// Test helper: counts the statement calls the recordset makes (prepare,
// execute, bind, fetch, free). The test program defines these ODBC entry
// points itself and passes every call on to the driver manager, except the
// calls a test asks to fail (answers no real driver gives on demand).
#pragma once

#include <exception>
#include <map>
#include <string>

class call_counter {
public:
    call_counter();
    ~call_counter();
    call_counter(const call_counter&) = delete;
    call_counter& operator=(const call_counter&) = delete;

    // Calls of the named function (e.g. "SQLPrepare") since construction or reset.
    int operator[](const std::string& function) const;
    void reset();
    // The next `times` calls of function (SQLPrepare, SQLExecute,
    // SQLExtendedFetch) answer rc without reaching the driver manager.
    void fail_next(const std::string& function, short rc, int times = 1);
    // The next call of function (SQLExecute) throws `thrown`, as the class
    // layer does when it meets a fault of its own or runs out of memory.
    void throw_next(const std::string& function, std::exception_ptr thrown);
};
