#include "odbc/db_variant.h"

#include <algorithm>
#include <cstring>
#include <new>

void CDBVariant::ResetValue() {
    switch (m_dwValueType) {
    case DBVAR_STRING:
        delete m_pString;
        break;
    case DBVAR_BINARY:
        delete m_pBinary;
        break;
    case DBVAR_DATE:
        delete m_pDate;
        break;
    default:
        break;
    }
    m_dwValueType = DBVAR_NULL;
}

SQLSMALLINT DefaultCTypeForSqlType(SQLSMALLINT nSqlType) {
    switch (nSqlType) {
    case SQL_CHAR:
    case SQL_NUMERIC:
    case SQL_DECIMAL:
    case SQL_VARCHAR:
    case SQL_LONGVARCHAR:
    case SQL_BIGINT:
        return SQL_C_CHAR;
    case SQL_INTEGER:
        return SQL_C_SLONG;
    case SQL_SMALLINT:
        return SQL_C_SSHORT;
    case SQL_REAL:
        return SQL_C_FLOAT;
    case SQL_FLOAT:
    case SQL_DOUBLE:
        return SQL_C_DOUBLE;
    case SQL_DATE:
    case SQL_TIME:
    case SQL_TIMESTAMP:
        return SQL_C_TIMESTAMP;
    case SQL_BIT:
        return SQL_C_BIT;
    case SQL_TINYINT:
        return SQL_C_UTINYINT;
    case SQL_BINARY:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY:
        return SQL_C_BINARY;
    default:
        // Any other type (the wide-character ones, a driver's own) is read as
        // text, which every driver can convert to.
        return SQL_C_CHAR;
    }
}

SQLLEN TextBufferLength(SQLSMALLINT nSqlType, SQLULEN nPrecision) {
    if (nSqlType == SQL_LONGVARCHAR || nSqlType == SQL_LONGVARBINARY) return 1;
    SQLLEN length = static_cast<SQLLEN>(nPrecision) + 1;
    if (nSqlType == SQL_NUMERIC || nSqlType == SQL_DECIMAL) length += 2;  // sign and decimal point
    return length;
}

namespace {

// The first read of a value whose column claims a huge size (a driver's
// "unlimited" VARCHAR or VARBINARY) takes at most this much; the rest of a
// longer value is read on afterwards, so nothing is lost.
constexpr SQLLEN kFirstReadLimit = 65536;

}  // namespace

void* PrepareVariantBuffer(CDBVariant& varValue, SQLSMALLINT nCType, SQLLEN& nLength,
                           SQLSMALLINT nSqlType, SQLULEN nPrecision,
                           std::unique_ptr<std::string> spare) {
    // The older names of the same C types fill the same members.
    if (nCType == SQL_C_LONG) nCType = SQL_C_SLONG;
    if (nCType == SQL_C_SHORT) nCType = SQL_C_SSHORT;
    if (nCType == SQL_C_TYPE_TIMESTAMP) nCType = SQL_C_TIMESTAMP;
    switch (nCType) {
    case SQL_C_BIT:
        varValue.m_dwValueType = DBVAR_BOOL;
        varValue.m_bValue = 0;
        nLength = 4;
        return &varValue.m_bValue;
    case SQL_C_UTINYINT:
        varValue.m_dwValueType = DBVAR_UCHAR;
        nLength = 1;
        return &varValue.m_chValue;
    case SQL_C_SSHORT:
        varValue.m_dwValueType = DBVAR_SHORT;
        nLength = 2;
        return &varValue.m_nShortValue;
    case SQL_C_SLONG:
        varValue.m_dwValueType = DBVAR_LONG;
        nLength = 4;
        return &varValue.m_nLongValue;
    case SQL_C_FLOAT:
        varValue.m_dwValueType = DBVAR_SINGLE;
        nLength = 4;
        return &varValue.m_fValue;
    case SQL_C_DOUBLE:
        varValue.m_dwValueType = DBVAR_DOUBLE;
        nLength = 8;
        return &varValue.m_dValue;
    case SQL_C_TIMESTAMP:
        varValue.m_pDate = new TIMESTAMP_STRUCT();
        varValue.m_dwValueType = DBVAR_DATE;
        nLength = sizeof(TIMESTAMP_STRUCT);
        return varValue.m_pDate;
    case SQL_C_CHAR: {
        nLength = std::min(TextBufferLength(nSqlType, nPrecision), kFirstReadLimit + 1);
        if (spare) {
            spare->assign(static_cast<std::string::size_type>(nLength), '\0');
            varValue.m_pString = spare.release();
        } else {
            varValue.m_pString =
                new std::string(static_cast<std::string::size_type>(nLength), '\0');
        }
        varValue.m_dwValueType = DBVAR_STRING;
        return &(*varValue.m_pString)[0];
    }
    case SQL_C_BINARY: {
        nLength = nSqlType == SQL_LONGVARBINARY
                      ? 1
                      : static_cast<SQLLEN>(std::min<SQLULEN>(nPrecision, kFirstReadLimit));
        // A driver that reports no precision still gets a block to read into;
        // the remainder is then read like a long value.
        if (nLength < 1) nLength = 1;
        auto* binary = new CLongBinary;
        varValue.m_pBinary = binary;
        varValue.m_dwValueType = DBVAR_BINARY;
        binary->m_hData.assign(static_cast<std::size_t>(nLength), 0);
        binary->m_dwDataLength = static_cast<std::uint32_t>(nLength);
        return binary->m_hData.data();
    }
    default:
        // A C type outside the table reads into the widest value member, so a
        // caller's choice never makes the driver write past the variant.
        varValue.m_dwValueType = DBVAR_NULL;
        nLength = sizeof(double);
        return &varValue.m_dValue;
    }
}
