// Field values read from a result set: CDBVariant holds one value of any of
// the column types the layer reads, owning its text, timestamp or binary
// block; CLongBinary is the growable block behind binary values.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// A binary value. The block is a heap buffer that may be enlarged while a
// long value is read in pieces; `m_dwDataLength` says how many bytes of it
// hold the value.
class CLongBinary {
public:
    CLongBinary() = default;
    virtual ~CLongBinary() = default;
    CLongBinary(const CLongBinary&) = delete;
    CLongBinary& operator=(const CLongBinary&) = delete;

    virtual const char* RuntimeClassOf() const { return "CLongBinary"; }

    std::vector<unsigned char> m_hData;
    std::uint32_t m_dwDataLength = 0;
};

enum : std::uint32_t {
    DBVAR_NULL = 0,
    DBVAR_BOOL = 1,
    DBVAR_UCHAR = 2,
    DBVAR_SHORT = 3,
    DBVAR_LONG = 4,
    DBVAR_SINGLE = 5,
    DBVAR_DOUBLE = 6,
    DBVAR_DATE = 7,
    DBVAR_STRING = 8,
    DBVAR_BINARY = 9,
};

// One tagged value. The pointer members are owned and released by
// ResetValue, so one variant can be reused for every column of every row.
class CDBVariant {
public:
    CDBVariant() = default;
    virtual ~CDBVariant() { ResetValue(); }
    CDBVariant(const CDBVariant&) = delete;
    CDBVariant& operator=(const CDBVariant&) = delete;

    void ResetValue();

    std::uint32_t m_dwValueType = DBVAR_NULL;
    union {
        std::int32_t m_bValue;  // a bit read from the driver fills only the first byte; cleared
                                // before the read
        unsigned char m_chValue;
        std::int16_t m_nShortValue;
        std::int32_t m_nLongValue;
        float m_fValue;
        double m_dValue;
        TIMESTAMP_STRUCT* m_pDate;
        std::string* m_pString;
        CLongBinary* m_pBinary;
    };
};

// The steps of reading a field value that need no connection; the recordset's
// GetFieldValue strings them together with the SQLGetData calls.

// The C type a column of this SQL type is read as by default; text for a type
// outside the layer's table.
SQLSMALLINT DefaultCTypeForSqlType(SQLSMALLINT nSqlType);

// Characters (terminator included) given to the first read of a text value:
// one for the long types, whose length is asked for first.
SQLLEN TextBufferLength(SQLSMALLINT nSqlType, SQLULEN nPrecision);

// Sets the variant's type for `nCType`, allocates what it must own, and
// returns the buffer to read into with its length in `nLength`. A text read
// takes `spare` (a string the variant held before) instead of a new block.
void* PrepareVariantBuffer(CDBVariant& varValue, SQLSMALLINT nCType, SQLLEN& nLength,
                           SQLSMALLINT nSqlType, SQLULEN nPrecision,
                           std::unique_ptr<std::string> spare = nullptr);
