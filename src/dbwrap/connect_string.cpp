#include "dbwrap/connect_string.h"

#include "config/ascii_text.h"

namespace {

bool needs_braces(const std::string& value) {
    if (value.empty()) return false;
    if (is_blank(value.front()) || is_blank(value.back())) return true;
    return value.find_first_of(";{}") != std::string::npos;
}

}  // namespace

std::string odbc_connect_value(const std::string& value) {
    if (!needs_braces(value)) return value;
    std::string quoted = "{";
    for (char c : value) {
        quoted += c;
        if (c == '}') quoted += '}';
    }
    quoted += '}';
    return quoted;
}

connect_strings build_connect_string(const std::optional<std::string>& data_source,
                                     const std::optional<std::string>& login,
                                     const std::optional<std::string>& password) {
    connect_strings result;
    result.sent = "DSN=" + odbc_connect_value(data_source.value_or("")) + ";";
    if (login) result.sent += "UID=" + odbc_connect_value(*login) + ";";
    result.shown = result.sent;
    if (password) {
        result.sent += "PWD=" + odbc_connect_value(*password) + ";";
        result.shown += "PWD=****;";
    }
    return result;
}
