#include "dbwrap/db_value_text.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "config/ascii_text.h"
#include "config/log.h"
#include "odbc/db_variant.h"

namespace {

// Formats into `text`, keeping at most limit - 2 characters (a bound of
// limit - 1 bytes, terminator included), which is the cut the log lines of
// the query rely on.
void format_cut(std::string& text, std::size_t limit, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

void format_cut(std::string& text, std::size_t limit, const char* format, ...) {
    va_list args;
    va_start(args, format);
    text = format_text(format, args);
    va_end(args);
    std::size_t keep = limit >= 2 ? limit - 2 : 0;
    if (text.size() > keep) text.resize(keep);
}

void cut_copy(std::string& text, std::size_t limit, const std::string& value) {
    std::size_t keep = limit >= 2 ? limit - 2 : 0;
    text.assign(value, 0, std::min(keep, value.size()));
}

}  // namespace

std::string& db_value_to_text(const CDBVariant& value, std::string& text, std::size_t limit) {
    text.clear();
    switch (value.m_dwValueType) {
    case DBVAR_BOOL:
        debug_log("type 2 - bool \n");
        format_cut(text, limit, "%s", value.m_bValue ? "1" : "0");
        break;
    case DBVAR_UCHAR:
        debug_log("type 3 - uchar\n");
        format_cut(text, limit, "0x%02x", static_cast<unsigned>(value.m_chValue));
        break;
    case DBVAR_SHORT:
        debug_log("type 4 - short\n");
        format_cut(text, limit, "%d", static_cast<int>(value.m_nShortValue));
        break;
    case DBVAR_LONG:
        debug_log("type 5 - long\n");
        format_cut(text, limit, "%d", static_cast<int>(value.m_nLongValue));
        break;
    case DBVAR_SINGLE:
        debug_log("type 6 - single\n");
        format_cut(text, limit, "%f", static_cast<double>(value.m_fValue));
        break;
    case DBVAR_DOUBLE:
        debug_log("type 7 - double\n");
        format_cut(text, limit, "%f", value.m_dValue);
        break;
    case DBVAR_DATE:
        debug_log("type 8 - date \n");
        if (value.m_pDate)
            format_cut(text, limit, "%02d/%02d/%d", static_cast<int>(value.m_pDate->day),
                       static_cast<int>(value.m_pDate->month),
                       static_cast<int>(static_cast<short>(value.m_pDate->year)));
        else
            cut_copy(text, limit, "(NULL)");
        break;
    case DBVAR_STRING:
        if (value.m_pString) cut_copy(text, limit, *value.m_pString);
        break;
    case DBVAR_BINARY:
        debug_log("type 10 - binary, so setting to (NULL) as don't know what to do!\n");
        cut_copy(text, limit, "(NULL)");
        break;
    default:
        debug_log("type 1 - unknown type,so setting to '(NULL)'\n");
        cut_copy(text, limit, "(NULL)");
        break;
    }
    return text;
}

std::string db_shown_text(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7f) {
            shown += c;
            continue;
        }
        switch (c) {
        case '\r':
            shown += "\\r";
            break;
        case '\n':
            shown += "\\n";
            break;
        case '\t':
            shown += "\\t";
            break;
        case '\0':
            shown += "\\0";
            break;
        default: {
            static const char digits[] = "0123456789abcdef";
            shown += "\\x";
            shown += digits[u >> 4];
            shown += digits[u & 0xf];
        }
        }
    }
    return shown;
}
