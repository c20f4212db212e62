#include "odbc_fakes.h"

#include <dlfcn.h>

#include <cstring>
#include <optional>

namespace {

template <typename F>
F real(const char* name) {
    static_assert(sizeof(F) == sizeof(void*), "function pointer");
    void* p = dlsym(RTLD_NEXT, name);
    if (!p) std::abort();
    F f;
    std::memcpy(&f, &p, sizeof f);
    return f;
}

struct error_script {
    std::vector<fake_record> records;
    SQLRETURN end;
    size_t next = 0;
    int calls = 0;
};
std::optional<error_script> g_error;
std::optional<std::map<SQLUSMALLINT, fake_info>> g_info;
std::optional<SQLRETURN> g_timeout_rc;
std::vector<SQLULEN> g_timeout_values;
bool g_fail_env = false;
struct connect_log {
    std::vector<std::pair<SQLUSMALLINT, SQLULEN>> options;
    std::vector<SQLUSMALLINT> prompts;
    bool window = false;
};
std::optional<connect_log> g_connect;

void copy_text(SQLCHAR* dst, SQLSMALLINT room, const std::string& s) {
    if (!dst || room <= 0) return;
    size_t n = std::min(s.size(), static_cast<size_t>(room - 1));
    std::memcpy(dst, s.data(), n);
    dst[n] = '\0';
}

}  // namespace

scripted_sql_error::scripted_sql_error(std::vector<fake_record> records, SQLRETURN end) {
    g_error = error_script{std::move(records), end};
}
scripted_sql_error::~scripted_sql_error() { g_error.reset(); }
int scripted_sql_error::calls() const { return g_error->calls; }

fake_info info_u16(uint16_t v, SQLRETURN rc) {
    return {rc, std::string(reinterpret_cast<const char*>(&v), sizeof v), false};
}
fake_info info_u32(uint32_t v, SQLRETURN rc) {
    return {rc, std::string(reinterpret_cast<const char*>(&v), sizeof v), false};
}
fake_info info_text(const std::string& s, SQLRETURN rc) { return {rc, s, true}; }

scripted_get_info::scripted_get_info(std::map<SQLUSMALLINT, fake_info> answers) {
    g_info = std::move(answers);
}
scripted_get_info::~scripted_get_info() { g_info.reset(); }

failing_query_timeout::failing_query_timeout(SQLRETURN rc) {
    g_timeout_rc = rc;
    g_timeout_values.clear();
}
failing_query_timeout::~failing_query_timeout() { g_timeout_rc.reset(); }
const std::vector<SQLULEN>& failing_query_timeout::values() const { return g_timeout_values; }

failing_alloc_env::failing_alloc_env() { g_fail_env = true; }
failing_alloc_env::~failing_alloc_env() { g_fail_env = false; }

connect_recorder::connect_recorder() { g_connect.emplace(); }
connect_recorder::~connect_recorder() { g_connect.reset(); }
const std::vector<std::pair<SQLUSMALLINT, SQLULEN>>& connect_recorder::options() const {
    return g_connect->options;
}
const std::vector<SQLUSMALLINT>& connect_recorder::prompts() const { return g_connect->prompts; }
bool connect_recorder::any_window() const { return g_connect->window; }

extern "C" {

SQLRETURN SQLSetConnectOption(SQLHDBC hdbc, SQLUSMALLINT option, SQLULEN value) {
    if (g_connect) g_connect->options.emplace_back(option, value);
    static auto fn = real<SQLRETURN (*)(SQLHDBC, SQLUSMALLINT, SQLULEN)>("SQLSetConnectOption");
    return fn(hdbc, option, value);
}

SQLRETURN SQLDriverConnect(SQLHDBC hdbc, SQLHWND window, SQLCHAR* in, SQLSMALLINT inLength,
                           SQLCHAR* out, SQLSMALLINT outRoom, SQLSMALLINT* outLength,
                           SQLUSMALLINT prompt) {
    if (g_connect) {
        g_connect->prompts.push_back(prompt);
        if (window) g_connect->window = true;
    }
    static auto fn =
        real<SQLRETURN (*)(SQLHDBC, SQLHWND, SQLCHAR*, SQLSMALLINT, SQLCHAR*, SQLSMALLINT,
                           SQLSMALLINT*, SQLUSMALLINT)>("SQLDriverConnect");
    return fn(hdbc, window, in, inLength, out, outRoom, outLength, prompt);
}

SQLRETURN SQLError(SQLHENV henv, SQLHDBC hdbc, SQLHSTMT hstmt, SQLCHAR* state, SQLINTEGER* native,
                   SQLCHAR* message, SQLSMALLINT room, SQLSMALLINT* length) {
    if (!g_error) {
        static auto fn = real<SQLRETURN (*)(SQLHENV, SQLHDBC, SQLHSTMT, SQLCHAR*, SQLINTEGER*,
                                            SQLCHAR*, SQLSMALLINT, SQLSMALLINT*)>("SQLError");
        return fn(henv, hdbc, hstmt, state, native, message, room, length);
    }
    ++g_error->calls;
    if (g_error->next >= g_error->records.size()) return g_error->end;
    const fake_record& r = g_error->records[g_error->next++];
    copy_text(state, 6, r.state);
    if (native) *native = static_cast<SQLINTEGER>(r.native);
    copy_text(message, room, r.message);
    if (length) *length = static_cast<SQLSMALLINT>(r.message.size());
    return SQL_SUCCESS;
}

SQLRETURN SQLGetInfo(SQLHDBC hdbc, SQLUSMALLINT type, SQLPOINTER value, SQLSMALLINT room,
                     SQLSMALLINT* length) {
    if (g_info) {
        auto it = g_info->find(type);
        if (it != g_info->end()) {
            const fake_info& a = it->second;
            if (a.text) {
                copy_text(static_cast<SQLCHAR*>(value), room, a.bytes);
                if (length) *length = static_cast<SQLSMALLINT>(a.bytes.size());
            } else if (value) {
                std::memcpy(value, a.bytes.data(), a.bytes.size());
            }
            return a.rc;
        }
    }
    static auto fn =
        real<SQLRETURN (*)(SQLHDBC, SQLUSMALLINT, SQLPOINTER, SQLSMALLINT, SQLSMALLINT*)>(
            "SQLGetInfo");
    return fn(hdbc, type, value, room, length);
}

SQLRETURN SQLSetStmtOption(SQLHSTMT hstmt, SQLUSMALLINT option, SQLULEN value) {
    if (g_timeout_rc && option == SQL_QUERY_TIMEOUT) {
        g_timeout_values.push_back(value);
        if (*g_timeout_rc != SQL_SUCCESS) return *g_timeout_rc;
    }
    static auto fn = real<SQLRETURN (*)(SQLHSTMT, SQLUSMALLINT, SQLULEN)>("SQLSetStmtOption");
    return fn(hstmt, option, value);
}

SQLRETURN SQLAllocEnv(SQLHENV* henv) {
    if (g_fail_env) {
        if (henv) *henv = SQL_NULL_HENV;
        return SQL_ERROR;
    }
    static auto fn = real<SQLRETURN (*)(SQLHENV*)>("SQLAllocEnv");
    return fn(henv);
}

}  // extern "C"
