// Field values as log text, with the type line each kind writes first.
#include <gtest/gtest.h>

#include "dbwrap/db_value_text.h"
#include "log_capture.h"
#include "odbc/db_variant.h"

namespace {

TEST(DbValueToText, EveryTypeCodeWithItsLogLine) {
    struct row {
        std::function<void(CDBVariant&)> fill;
        const char* text;
        const char* line;  // nullptr: no line
    };
    const row rows[] = {
        {[](CDBVariant&) {}, "(NULL)", "type 1 - unknown type,so setting to '(NULL)'"},
        {[](CDBVariant& v) {
             v.m_dwValueType = DBVAR_BOOL;
             v.m_bValue = 0;
         },
         "0", "type 2 - bool "},
        {[](CDBVariant& v) {
             v.m_dwValueType = DBVAR_BOOL;
             v.m_bValue = 7;
         },
         "1", "type 2 - bool "},
        {[](CDBVariant& v) {
             v.m_dwValueType = DBVAR_UCHAR;
             v.m_chValue = 10;
         },
         "0x0a", "type 3 - uchar"},
        {[](CDBVariant& v) {
             v.m_dwValueType = DBVAR_UCHAR;
             v.m_chValue = 255;
         },
         "0xff", "type 3 - uchar"},
        {[](CDBVariant& v) {
             v.m_dwValueType = DBVAR_SHORT;
             v.m_nShortValue = -5;
         },
         "-5", "type 4 - short"},
        {[](CDBVariant& v) {
             v.m_dwValueType = DBVAR_LONG;
             v.m_nLongValue = -2147483647 - 1;
         },
         "-2147483648", "type 5 - long"},
        {[](CDBVariant& v) {
             v.m_dwValueType = DBVAR_SINGLE;
             v.m_fValue = 1.5f;
         },
         "1.500000", "type 6 - single"},
        {[](CDBVariant& v) {
             v.m_dwValueType = DBVAR_DOUBLE;
             v.m_dValue = 2.5;
         },
         "2.500000", "type 7 - double"},
        {[](CDBVariant& v) {
             v.m_dwValueType = DBVAR_DATE;
             v.m_pDate = new TIMESTAMP_STRUCT{2000, 3, 5, 13, 14, 15, 0};
         },
         "05/03/2000", "type 8 - date "},
        {[](CDBVariant& v) {
             v.m_dwValueType = DBVAR_STRING;
             v.m_pString = new std::string("bob");
         },
         "bob", nullptr},
        {[](CDBVariant& v) {
             v.m_dwValueType = DBVAR_BINARY;
             v.m_pBinary = new CLongBinary;
             v.m_pBinary->m_hData = {'s', 'e', 'c'};
             v.m_pBinary->m_dwDataLength = 3;
         },
         "(NULL)", "type 10 - binary, so setting to (NULL) as don't know what to do!"},
        {[](CDBVariant& v) { v.m_dwValueType = 42; }, "(NULL)",
         "type 1 - unknown type,so setting to '(NULL)'"},
    };
    int index = 0;
    for (const row& r : rows) {
        SCOPED_TRACE(index++);
        log_capture log;
        CDBVariant value;
        r.fill(value);
        std::string text = "left over";
        EXPECT_EQ(&db_value_to_text(value, text, 999), &text);
        EXPECT_EQ(text, r.text);
        std::vector<std::string> lines = log.messages();
        if (r.line) {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0], r.line);
        } else {
            EXPECT_TRUE(lines.empty());
        }
    }
}

TEST(DbValueToText, LongTextIsCutTwoShortOfTheLimit) {
    CDBVariant value;
    value.m_dwValueType = DBVAR_STRING;
    value.m_pString = new std::string(2000, 'x');
    std::string text;
    EXPECT_EQ(db_value_to_text(value, text, 999).size(), 997u);
    EXPECT_EQ(db_value_to_text(value, text, 10), std::string(8, 'x'));

    CDBVariant number;
    number.m_dwValueType = DBVAR_LONG;
    number.m_nLongValue = 123456;
    EXPECT_EQ(db_value_to_text(number, text, 5), "123");
}

// A stored value shown in a log line can neither end the line nor forge
// one: every control character is written out.
TEST(DbShownText, ControlCharactersWrittenOut) {
    const std::pair<std::string, std::string> rows[] = {
        {"plain /var/mail/bob", "plain /var/mail/bob"},
        {"x\n+OK admin\r\ny", "x\\n+OK admin\\r\\ny"},
        {std::string("nul\0/evil", 9), "nul\\0/evil"},
        {"tab\tesc\x1b del\x7f", "tab\\tesc\\x1b del\\x7f"},
        {"back\\slash \xe4", "back\\slash \xe4"},  // backslashes and 8-bit bytes stay
    };
    for (const auto& [value, shown] : rows) EXPECT_EQ(db_shown_text(value), shown);
}

}  // namespace
