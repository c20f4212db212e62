#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "call_counter.h"
#include "odbc/db_exception.h"
#include "odbc/db_variant.h"
#include "recordset_fixture.h"
#include "trace_capture.h"

namespace {

std::string Bytes(const CLongBinary& b) {
    return std::string(reinterpret_cast<const char*>(b.m_hData.data()), b.m_dwDataLength);
}

class FieldValueTest : public RecordsetTest {
protected:
    void SetUp() override {
        RecordsetTest::SetUp();
        env->exec(
            "CREATE TABLE v(t varchar(20), i integer, si smallint, r real, dbl double, de "
            "decimal(10,2),"
            " ts timestamp, b bit, ti tinyint, bi bigint, bn blob, lt text, lb longvarbinary);"
            "INSERT INTO v VALUES('abc', 123456, -12, 1.5, -2.25, '12.50', '2024-02-29 13:14:15', "
            "1, 200,"
            " 9007199254740993, X'00010203', '" +
            std::string(5000, 'q') +
            "', randomblob(100));"
            "INSERT INTO v VALUES(NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, "
            "NULL, NULL, NULL);"
            "INSERT INTO v(t, lt, lb, bn) VALUES('" +
            std::string(100, 'w') + "', '', X'', X'')");
        rs = std::make_unique<TestRecordset>(db.get());
        ASSERT_TRUE(rs->Open(-1, "SELECT * FROM v ORDER BY rowid"));
    }
    void TearDown() override {
        rs.reset();
        RecordsetTest::TearDown();
    }
    std::unique_ptr<TestRecordset> rs;
};

// Every column type of the table, read with the C type its SQL type chooses.
TEST_F(FieldValueTest, EveryColumnTypeWithItsDefaultCType) {
    const std::string lb = env->query("SELECT hex(lb) FROM v WHERE rowid=1")[0][0].value();
    CDBVariant v;  // one variant for all columns: each read releases the last value
    rs->GetFieldValue(short(0), v);
    ASSERT_EQ(v.m_dwValueType, DBVAR_STRING);
    EXPECT_EQ(*v.m_pString, "abc");
    rs->GetFieldValue(short(1), v);
    ASSERT_EQ(v.m_dwValueType, DBVAR_LONG);
    EXPECT_EQ(v.m_nLongValue, 123456);
    rs->GetFieldValue(short(2), v);
    ASSERT_EQ(v.m_dwValueType, DBVAR_SHORT);
    EXPECT_EQ(v.m_nShortValue, -12);
    rs->GetFieldValue(short(3), v);  // SQLite describes REAL as DOUBLE
    ASSERT_EQ(v.m_dwValueType, DBVAR_DOUBLE);
    EXPECT_DOUBLE_EQ(v.m_dValue, 1.5);
    rs->GetFieldValue(short(4), v);
    ASSERT_EQ(v.m_dwValueType, DBVAR_DOUBLE);
    EXPECT_DOUBLE_EQ(v.m_dValue, -2.25);
    rs->GetFieldValue(short(5), v);
    ASSERT_EQ(v.m_dwValueType, DBVAR_STRING);
    EXPECT_EQ(*v.m_pString, "12.5");  // SQLite keeps a decimal as a number
    rs->GetFieldValue(short(6), v);
    ASSERT_EQ(v.m_dwValueType, DBVAR_DATE);
    EXPECT_EQ(v.m_pDate->year, 2024);
    EXPECT_EQ(v.m_pDate->month, 2);
    EXPECT_EQ(v.m_pDate->day, 29);
    EXPECT_EQ(v.m_pDate->hour, 13);
    EXPECT_EQ(v.m_pDate->minute, 14);
    EXPECT_EQ(v.m_pDate->second, 15);
    rs->GetFieldValue(short(7), v);
    ASSERT_EQ(v.m_dwValueType, DBVAR_BOOL);
    EXPECT_EQ(v.m_bValue, 1);  // the whole member, not only the byte the driver wrote
    rs->GetFieldValue(short(8), v);
    ASSERT_EQ(v.m_dwValueType, DBVAR_UCHAR);
    EXPECT_EQ(v.m_chValue, 200);
    rs->GetFieldValue(short(9), v);
    ASSERT_EQ(v.m_dwValueType, DBVAR_STRING);
    EXPECT_EQ(*v.m_pString, "9007199254740993");
    rs->GetFieldValue(short(10), v);
    ASSERT_EQ(v.m_dwValueType, DBVAR_BINARY);
    EXPECT_EQ(Bytes(*v.m_pBinary), std::string("\0\1\2\3", 4));
    rs->GetFieldValue(short(11), v);
    ASSERT_EQ(v.m_dwValueType, DBVAR_STRING);
    EXPECT_EQ(*v.m_pString, std::string(5000, 'q'));
    rs->GetFieldValue(short(12), v);
    ASSERT_EQ(v.m_dwValueType, DBVAR_BINARY);
    ASSERT_EQ(v.m_pBinary->m_dwDataLength, 100u);
    std::string hex;
    for (unsigned char c : Bytes(*v.m_pBinary)) {
        static const char digits[] = "0123456789ABCDEF";
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    EXPECT_EQ(hex, lb);
}

TEST_F(FieldValueTest, NullsAndEmptyLongValues) {
    rs->MoveNext();
    CDBVariant v;
    for (short i = 0; i < 13; ++i) {
        rs->GetFieldValue(i, v);
        EXPECT_EQ(v.m_dwValueType, DBVAR_NULL) << i;
    }
    rs->MoveNext();
    rs->GetFieldValue(short(11), v);
    ASSERT_EQ(v.m_dwValueType, DBVAR_STRING);
    EXPECT_EQ(*v.m_pString, "");
    for (short binary : {10, 12}) {
        rs->GetFieldValue(binary, v);
        ASSERT_EQ(v.m_dwValueType, DBVAR_BINARY) << binary;
        EXPECT_EQ(v.m_pBinary->m_dwDataLength, 0u)
            << binary;  // empty, not the one-byte first block
    }
    // More text than the column's declared size is read whole.
    rs->GetFieldValue(short(0), v);
    ASSERT_EQ(v.m_dwValueType, DBVAR_STRING);
    EXPECT_EQ(*v.m_pString, std::string(100, 'w'));
}

TEST_F(FieldValueTest, ByNameIndexOutOfRangeAndExplicitCType) {
    CDBVariant v;
    rs->GetFieldValue("i", v);
    ASSERT_EQ(v.m_dwValueType, DBVAR_LONG);
    EXPECT_EQ(v.m_nLongValue, 123456);
    struct Case {
        std::function<void()> read;
    } failing[] = {
        {[&] { rs->GetFieldValue(short(13), v); }},
        {[&] { rs->GetFieldValue(short(-1), v); }},
        {[&] { rs->GetFieldValue("I", v); }},
        {[&] { rs->GetFieldValue("nosuch", v); }},
    };
    for (const Case& c : failing) {
        SQLLEN length = 0;
        PrepareVariantBuffer(v, SQL_C_CHAR, length, SQL_VARCHAR,
                             10);  // holds a string before the failing read
        EXPECT_EQ(CodeOf(c.read), DBERR_FIELD_NOT_FOUND);
        EXPECT_EQ(v.m_dwValueType, DBVAR_NULL);
    }
    rs->GetFieldValue(short(1), v, SQL_C_CHAR);
    ASSERT_EQ(v.m_dwValueType, DBVAR_STRING);
    EXPECT_EQ(*v.m_pString, "123456");
    rs->GetFieldValue(short(3), v, SQL_C_FLOAT);
    ASSERT_EQ(v.m_dwValueType, DBVAR_SINGLE);
    EXPECT_FLOAT_EQ(v.m_fValue, 1.5f);
    rs->GetFieldValue(short(2), v, SQL_C_SLONG);
    ASSERT_EQ(v.m_dwValueType, DBVAR_LONG);
    EXPECT_EQ(v.m_nLongValue, -12);
}

// A long text is read in two calls; the first one's truncation is expected
// and not traced as a warning.
TEST_F(FieldValueTest, LongTextTwoStepReadTracesNoWarning) {
    trace_capture trace(traceDatabase);
    CDBVariant v;
    rs->GetFieldValue(short(11), v);
    ASSERT_EQ(v.m_dwValueType, DBVAR_STRING);
    EXPECT_EQ(v.m_pString->size(), 5000u);
    EXPECT_EQ(trace.text().find("Warning: ODBC Success With Info on field"), std::string::npos)
        << trace.text();
}

// How many SQLGetData calls each read takes: one for a value that fits its
// first buffer, two for a long value (its length first, then the rest).
TEST_F(FieldValueTest, ReadsPerColumnKind) {
    struct Case {
        short row;
        short column;
        int calls;
        std::size_t size;
    } cases[] = {
        {1, 0, 1, 3},      // VARCHAR(20) "abc": one read into 21 bytes
        {1, 11, 2, 5000},  // long text of 5000 characters
        {1, 12, 2, 100},   // long binary of 100 bytes
        {1, 10, 1, 4},     // BINARY of precision 255 holding 4 bytes
        {3, 11, 1, 0},     // empty long text: the first read says it all
        {3, 0, 2, 100},    // 100 characters in a VARCHAR(20) column
    };
    short row = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.column);
        while (row < c.row) {
            rs->MoveNext();
            ++row;
        }
        CDBVariant v;
        call_counter calls;
        rs->GetFieldValue(c.column, v);
        EXPECT_EQ(calls["SQLGetData"], c.calls);
        if (v.m_dwValueType == DBVAR_STRING) {
            EXPECT_EQ(v.m_pString->size(), c.size);
        } else {
            ASSERT_EQ(v.m_dwValueType, DBVAR_BINARY);
            EXPECT_EQ(v.m_pBinary->m_dwDataLength, c.size);
            EXPECT_EQ(v.m_pBinary->m_hData.size(), c.size);
        }
    }
}

// A column read a second time: the driver says it has nothing left, which is
// raised with SQL_NO_DATA_FOUND; numbers it hands out again.
TEST_F(FieldValueTest, ColumnReadTwice) {
    CDBVariant v;
    rs->GetFieldValue(short(11), v);
    ASSERT_EQ(v.m_pString->size(), 5000u);
    SQLRETURN code = CodeOf([&] { rs->GetFieldValue(short(11), v); });
    EXPECT_EQ(code, SQL_NO_DATA_FOUND);  // SQLite hands a text out once
    EXPECT_EQ(v.m_dwValueType, DBVAR_NULL);
    rs->GetFieldValue(short(1), v);
    EXPECT_EQ(v.m_nLongValue, 123456);
    rs->GetFieldValue(short(1), v);
    EXPECT_EQ(v.m_nLongValue, 123456);
}

// One variant read field after field, as the query wrapper reads a row: a
// short text after a long one, a number after a text and a NULL after a text
// each come out whole and alone.
TEST_F(FieldValueTest, OneVariantReadsTextsOfEveryLengthInTurn) {
    struct step {
        bool nextRow;
        short column;
        SQLRETURN code;
        unsigned type;
        std::string text;
    };
    const std::vector<step> steps = {
        {false, 11, SQL_SUCCESS, DBVAR_STRING, std::string(5000, 'q')},
        {false, 0, SQL_SUCCESS, DBVAR_STRING, "abc"},
        {false, 9, SQL_SUCCESS, DBVAR_STRING, "9007199254740993"},
        {false, 1, SQL_SUCCESS, DBVAR_LONG, ""},
        {false, 0, SQL_NO_DATA_FOUND, DBVAR_NULL, ""},  // read twice: nothing left to hand out
        {true, 0, SQL_SUCCESS, DBVAR_NULL, ""},
        {false, 11, SQL_SUCCESS, DBVAR_NULL, ""},
        {true, 0, SQL_SUCCESS, DBVAR_STRING, std::string(100, 'w')},
        {false, 11, SQL_SUCCESS, DBVAR_STRING, ""},
    };
    CDBVariant v;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const step& s = steps[i];
        SCOPED_TRACE(i);
        if (s.nextRow) rs->MoveNext();
        ASSERT_EQ(CodeOf([&] { rs->GetFieldValue(s.column, v); }), s.code);
        ASSERT_EQ(v.m_dwValueType, s.type);
        if (s.type == DBVAR_STRING) {
            EXPECT_EQ(*v.m_pString, s.text);
        }
        if (s.type == DBVAR_LONG) {
            EXPECT_EQ(v.m_nLongValue, 123456);
        }
    }
}

TEST(FieldValueSteps, DefaultCTypesAndTextBufferLengths) {
    struct Case {
        SQLSMALLINT sqlType;
        SQLSMALLINT cType;
        SQLULEN precision;
        SQLLEN textLength;
    } cases[] = {
        {SQL_CHAR, SQL_C_CHAR, 10, 11},
        {SQL_VARCHAR, SQL_C_CHAR, 20, 21},
        {SQL_NUMERIC, SQL_C_CHAR, 10, 13},
        {SQL_DECIMAL, SQL_C_CHAR, 10, 13},
        {SQL_LONGVARCHAR, SQL_C_CHAR, 65536, 1},
        {SQL_BIGINT, SQL_C_CHAR, 20, 21},
        {SQL_INTEGER, SQL_C_SLONG, 10, 11},
        {SQL_SMALLINT, SQL_C_SSHORT, 5, 6},
        {SQL_REAL, SQL_C_FLOAT, 7, 8},
        {SQL_FLOAT, SQL_C_DOUBLE, 15, 16},
        {SQL_DOUBLE, SQL_C_DOUBLE, 15, 16},
        {SQL_DATE, SQL_C_TIMESTAMP, 10, 11},
        {SQL_TIME, SQL_C_TIMESTAMP, 8, 9},
        {SQL_TIMESTAMP, SQL_C_TIMESTAMP, 19, 20},
        {SQL_BIT, SQL_C_BIT, 1, 2},
        {SQL_TINYINT, SQL_C_UTINYINT, 3, 4},
        {SQL_BINARY, SQL_C_BINARY, 16, 17},
        {SQL_VARBINARY, SQL_C_BINARY, 16, 17},
        {SQL_LONGVARBINARY, SQL_C_BINARY, 65536, 1},
        {SQL_WVARCHAR, SQL_C_CHAR, 20, 21},  // outside the table: read as text
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DefaultCTypeForSqlType(c.sqlType), c.cType) << c.sqlType;
        EXPECT_EQ(TextBufferLength(c.sqlType, c.precision), c.textLength) << c.sqlType;
    }
}

TEST(FieldValueSteps, VariantBuffersByCType) {
    struct Case {
        SQLSMALLINT cType;
        SQLSMALLINT sqlType;
        SQLULEN precision;
        std::uint32_t type;
        SQLLEN length;
    } cases[] = {
        {SQL_C_BIT, SQL_BIT, 1, DBVAR_BOOL, 4},
        {SQL_C_UTINYINT, SQL_TINYINT, 3, DBVAR_UCHAR, 1},
        {SQL_C_SSHORT, SQL_SMALLINT, 5, DBVAR_SHORT, 2},
        {SQL_C_SLONG, SQL_INTEGER, 10, DBVAR_LONG, 4},
        {SQL_C_LONG, SQL_INTEGER, 10, DBVAR_LONG, 4},
        {SQL_C_SHORT, SQL_SMALLINT, 5, DBVAR_SHORT, 2},
        {SQL_C_FLOAT, SQL_REAL, 7, DBVAR_SINGLE, 4},
        {SQL_C_DOUBLE, SQL_DOUBLE, 15, DBVAR_DOUBLE, 8},
        {SQL_C_TIMESTAMP, SQL_TIMESTAMP, 19, DBVAR_DATE, 16},
        {SQL_C_CHAR, SQL_DECIMAL, 10, DBVAR_STRING, 13},
        {SQL_C_CHAR, SQL_VARCHAR, 20, DBVAR_STRING, 21},
        {SQL_C_CHAR, SQL_LONGVARCHAR, 65536, DBVAR_STRING, 1},
        {SQL_C_BINARY, SQL_VARBINARY, 16, DBVAR_BINARY, 16},
        {SQL_C_BINARY, SQL_LONGVARBINARY, 65536, DBVAR_BINARY, 1},
        // A column that claims 2 GB starts with a bounded first read.
        {SQL_C_CHAR, SQL_VARCHAR, 0x7FFFFFFF, DBVAR_STRING, 65537},
        {SQL_C_BINARY, SQL_VARBINARY, 0x7FFFFFFF, DBVAR_BINARY, 65536},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cType);
        CDBVariant v;
        SQLLEN length = 0;
        void* buffer = PrepareVariantBuffer(v, c.cType, length, c.sqlType, c.precision);
        EXPECT_EQ(v.m_dwValueType, c.type);
        EXPECT_EQ(length, c.length);
        ASSERT_NE(buffer, nullptr);
        std::memset(buffer, 0x5A,
                    static_cast<std::size_t>(length));  // the whole buffer is writable
        if (c.type == DBVAR_STRING) {
            EXPECT_EQ(v.m_pString->size(), static_cast<std::size_t>(length));
        }
        if (c.type == DBVAR_BINARY) {
            EXPECT_EQ(v.m_pBinary->m_dwDataLength, static_cast<std::uint32_t>(length));
        }
        v.ResetValue();
        EXPECT_EQ(v.m_dwValueType, DBVAR_NULL);
    }
}

}  // namespace
