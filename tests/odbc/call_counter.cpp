#include "call_counter.h"

#include <dlfcn.h>
#include <sql.h>
#include <sqlext.h>

#include <cstdlib>
#include <cstring>

namespace {

std::map<std::string, int>* g_counts = nullptr;
struct failure {
    SQLRETURN rc;
    int times;
};
std::map<std::string, failure> g_failures;
std::map<std::string, std::exception_ptr> g_throws;

void count(const char* function) {
    if (g_counts) ++(*g_counts)[function];
}

// True (with the code in rc) when this call is to fail; throws when it is
// to throw.
bool scripted(const char* function, SQLRETURN& rc) {
    if (!g_counts) return false;
    auto thrown = g_throws.find(function);
    if (thrown != g_throws.end()) {
        std::exception_ptr e = thrown->second;
        g_throws.erase(thrown);
        std::rethrow_exception(e);
    }
    auto it = g_failures.find(function);
    if (it == g_failures.end() || it->second.times == 0) return false;
    --it->second.times;
    rc = it->second.rc;
    return true;
}

template <typename F>
F next(const char* name) {
    void* p = dlsym(RTLD_NEXT, name);
    if (!p) std::abort();
    F f;
    std::memcpy(&f, &p, sizeof f);
    return f;
}

}  // namespace

call_counter::call_counter() {
    static std::map<std::string, int> counts;
    counts.clear();
    g_counts = &counts;
}
call_counter::~call_counter() {
    g_counts = nullptr;
    g_failures.clear();
    g_throws.clear();
}
void call_counter::throw_next(const std::string& function, std::exception_ptr thrown) {
    g_throws[function] = std::move(thrown);
}
void call_counter::fail_next(const std::string& function, short rc, int times) {
    g_failures[function] = failure{rc, times};
}
int call_counter::operator[](const std::string& function) const {
    auto it = g_counts->find(function);
    return it == g_counts->end() ? 0 : it->second;
}
void call_counter::reset() { g_counts->clear(); }

extern "C" {

SQLRETURN SQLPrepare(SQLHSTMT hstmt, SQLCHAR* text, SQLINTEGER length) {
    count("SQLPrepare");
    SQLRETURN scriptedRc;
    if (scripted("SQLPrepare", scriptedRc)) return scriptedRc;
    static auto f = next<SQLRETURN (*)(SQLHSTMT, SQLCHAR*, SQLINTEGER)>("SQLPrepare");
    return f(hstmt, text, length);
}

SQLRETURN SQLExecDirect(SQLHSTMT hstmt, SQLCHAR* text, SQLINTEGER length) {
    count("SQLExecDirect");
    static auto f = next<SQLRETURN (*)(SQLHSTMT, SQLCHAR*, SQLINTEGER)>("SQLExecDirect");
    return f(hstmt, text, length);
}

SQLRETURN SQLExecute(SQLHSTMT hstmt) {
    count("SQLExecute");
    SQLRETURN scriptedRc;
    if (scripted("SQLExecute", scriptedRc)) return scriptedRc;
    static auto f = next<SQLRETURN (*)(SQLHSTMT)>("SQLExecute");
    return f(hstmt);
}

SQLRETURN SQLBindCol(SQLHSTMT hstmt, SQLUSMALLINT column, SQLSMALLINT type, SQLPOINTER value,
                     SQLLEN length, SQLLEN* indicator) {
    count("SQLBindCol");
    static auto f =
        next<SQLRETURN (*)(SQLHSTMT, SQLUSMALLINT, SQLSMALLINT, SQLPOINTER, SQLLEN, SQLLEN*)>(
            "SQLBindCol");
    return f(hstmt, column, type, value, length, indicator);
}

SQLRETURN SQLBindParameter(SQLHSTMT hstmt, SQLUSMALLINT number, SQLSMALLINT io, SQLSMALLINT cType,
                           SQLSMALLINT sqlType, SQLULEN size, SQLSMALLINT digits, SQLPOINTER value,
                           SQLLEN length, SQLLEN* indicator) {
    count("SQLBindParameter");
    static auto f =
        next<SQLRETURN (*)(SQLHSTMT, SQLUSMALLINT, SQLSMALLINT, SQLSMALLINT, SQLSMALLINT, SQLULEN,
                           SQLSMALLINT, SQLPOINTER, SQLLEN, SQLLEN*)>("SQLBindParameter");
    return f(hstmt, number, io, cType, sqlType, size, digits, value, length, indicator);
}

SQLRETURN SQLExtendedFetch(SQLHSTMT hstmt, SQLUSMALLINT type, SQLLEN row, SQLULEN* count_,
                           SQLUSMALLINT* status) {
    count("SQLExtendedFetch");
    SQLRETURN scriptedRc;
    if (scripted("SQLExtendedFetch", scriptedRc)) return scriptedRc;
    static auto f = next<SQLRETURN (*)(SQLHSTMT, SQLUSMALLINT, SQLLEN, SQLULEN*, SQLUSMALLINT*)>(
        "SQLExtendedFetch");
    return f(hstmt, type, row, count_, status);
}

SQLRETURN SQLFetch(SQLHSTMT hstmt) {
    count("SQLFetch");
    static auto f = next<SQLRETURN (*)(SQLHSTMT)>("SQLFetch");
    return f(hstmt);
}

SQLRETURN SQLFreeStmt(SQLHSTMT hstmt, SQLUSMALLINT option) {
    count(option == SQL_CLOSE  ? "SQLFreeStmt(SQL_CLOSE)"
          : option == SQL_DROP ? "SQLFreeStmt(SQL_DROP)"
                               : "SQLFreeStmt");
    static auto f = next<SQLRETURN (*)(SQLHSTMT, SQLUSMALLINT)>("SQLFreeStmt");
    return f(hstmt, option);
}

SQLRETURN SQLGetData(SQLHSTMT hstmt, SQLUSMALLINT column, SQLSMALLINT type, SQLPOINTER value,
                     SQLLEN length, SQLLEN* indicator) {
    count("SQLGetData");
    static auto f =
        next<SQLRETURN (*)(SQLHSTMT, SQLUSMALLINT, SQLSMALLINT, SQLPOINTER, SQLLEN, SQLLEN*)>(
            "SQLGetData");
    return f(hstmt, column, type, value, length, indicator);
}

}  // extern "C"
