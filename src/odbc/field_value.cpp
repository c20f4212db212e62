// Reading one column of the current row with SQLGetData into a CDBVariant,
// long values in two steps: first their length, then the rest.
#include <algorithm>
#include <cstring>

#include "odbc/database.h"
#include "odbc/db_exception.h"
#include "odbc/db_variant.h"
#include "odbc/recordset.h"
#include "odbc/trace.h"

namespace {

bool IsLongType(SQLSMALLINT nSqlType) {
    return nSqlType == SQL_LONGVARCHAR || nSqlType == SQL_LONGVARBINARY;
}

SQLRETURN GetData(SQLHSTMT hstmt, SQLUSMALLINT nColumn, SQLSMALLINT nCType, void* buffer,
                  SQLLEN length, SQLLEN* indicator) {
    SQLRETURN rc;
    do {
        rc = SQLGetData(hstmt, nColumn, nCType, buffer, length, indicator);
    } while (rc == SQL_STILL_EXECUTING);
    return rc;
}

[[noreturn]] void FieldReadFailed(SQLRETURN rc, CDatabase* pDatabase, SQLHSTMT hstmt, int nIndex) {
    db_trace("Error: GetFieldValue operation failed on field %d.\n", nIndex);
    RaiseDBException(rc, pDatabase, hstmt);
}

// The return code of a read that continues a cut value.
void CheckContinuedRead(SQLRETURN rc, CDatabase* pDatabase, SQLHSTMT hstmt, int nIndex) {
    if (rc == SQL_SUCCESS_WITH_INFO) {
        if (trace_category_on(traceDatabase)) {
            db_trace("Warning: ODBC Success With Info on field %d.\n", nIndex);
            CDBException info(rc);
            info.CollectErrors(pDatabase, hstmt, true);
        }
    } else if (rc != SQL_SUCCESS) {
        FieldReadFailed(rc, pDatabase, hstmt, nIndex);
    }
}

SQLLEN FetchFieldData(CDatabase* pDatabase, SQLHSTMT hstmt, SQLUSMALLINT nColumn,
                      SQLSMALLINT nCType, void* buffer, SQLLEN nLength, SQLSMALLINT nSqlType) {
    const int index = nColumn - 1;
    SQLLEN indicator = 0;
    SQLRETURN rc = GetData(hstmt, nColumn, nCType, buffer, nLength, &indicator);
    if (rc == SQL_SUCCESS) return indicator;
    if (rc == SQL_SUCCESS_WITH_INFO) {
        if (trace_category_on(traceDatabase)) {
            CDBException info(rc);
            info.CollectErrors(pDatabase, hstmt, false);
            // A long value read with a one-byte buffer is cut on purpose.
            if (!(IsLongType(nSqlType) && info.HasState("01004"))) {
                db_trace("Warning: ODBC Success With Info on field %d.\n", index);
                TraceWrapped(info.m_strErrorText);
                TraceWrapped(info.m_strStateText);
            }
        }
        return indicator;
    }
    if (rc == SQL_NO_DATA_FOUND) {
        db_trace("Error: GetFieldValue operation failed on field %d.\n", index);
        db_trace("\tData already fetched for this field.\n");
        RaiseDBException(SQL_NO_DATA_FOUND, pDatabase, hstmt);
    }
    FieldReadFailed(rc, pDatabase, hstmt, index);
}

// Completes a text whose first read was cut. Every text type is completed,
// not only the long ones: a driver that stores more than a column's declared
// size (SQLite does) would otherwise hand back a silently shortened value.
void FetchRemainingText(CDatabase* pDatabase, SQLHSTMT hstmt, SQLUSMALLINT nColumn,
                        SQLLEN nIndicator, SQLLEN nLength, std::string& value) {
    const int index = nColumn - 1;
    if (nIndicator != SQL_NO_TOTAL && nLength > nIndicator) {
        value.resize(static_cast<std::size_t>(std::max<SQLLEN>(nIndicator, 0)));
        return;
    }
    std::size_t kept = static_cast<std::size_t>(std::max<SQLLEN>(nLength - 1, 0));
    if (nIndicator != SQL_NO_TOTAL) {
        value.resize(static_cast<std::size_t>(nIndicator) + 1);
        const SQLLEN rest = nIndicator + 1 - static_cast<SQLLEN>(kept);
        SQLLEN indicator = 0;
        SQLRETURN rc = GetData(hstmt, nColumn, SQL_C_CHAR, &value[kept], rest, &indicator);
        CheckContinuedRead(rc, pDatabase, hstmt, index);
        value.resize(kept + static_cast<std::size_t>(std::clamp<SQLLEN>(indicator, 0, rest - 1)));
        return;
    }
    // The driver does not know the total: read on in growing pieces until it
    // reports the last one.
    std::size_t chunk = std::max<std::size_t>(kept + 1, 4096);
    for (;;) {
        value.resize(kept + chunk + 1);
        SQLLEN indicator = 0;
        SQLRETURN rc = GetData(hstmt, nColumn, SQL_C_CHAR, &value[kept],
                               static_cast<SQLLEN>(chunk + 1), &indicator);
        if (rc == SQL_NO_DATA_FOUND) {
            value.resize(kept);
            return;
        }
        CheckContinuedRead(rc, pDatabase, hstmt, index);
        if (rc == SQL_SUCCESS ||
            (indicator != SQL_NO_TOTAL && indicator <= static_cast<SQLLEN>(chunk))) {
            value.resize(kept + static_cast<std::size_t>(
                                    std::clamp<SQLLEN>(indicator, 0, static_cast<SQLLEN>(chunk))));
            return;
        }
        kept += chunk;
        chunk *= 2;
    }
}

// Completes a binary value whose first read was cut, enlarging the block;
// a value shorter than the block leaves the block at the value's length.
void FetchRemainingBinary(CDatabase* pDatabase, SQLHSTMT hstmt, SQLUSMALLINT nColumn,
                          SQLLEN nIndicator, SQLLEN nLength, CLongBinary& binary) {
    const int index = nColumn - 1;
    if (nIndicator == SQL_NO_TOTAL) {
        std::size_t kept = static_cast<std::size_t>(nLength);
        std::size_t chunk = std::max<std::size_t>(kept, 4096);
        for (;;) {
            binary.m_hData.resize(kept + chunk);
            SQLLEN indicator = 0;
            SQLRETURN rc = GetData(hstmt, nColumn, SQL_C_BINARY, binary.m_hData.data() + kept,
                                   static_cast<SQLLEN>(chunk), &indicator);
            if (rc == SQL_NO_DATA_FOUND) {
                binary.m_hData.resize(kept);
                break;
            }
            CheckContinuedRead(rc, pDatabase, hstmt, index);
            if (rc == SQL_SUCCESS ||
                (indicator != SQL_NO_TOTAL && indicator <= static_cast<SQLLEN>(chunk))) {
                binary.m_hData.resize(kept + static_cast<std::size_t>(std::clamp<SQLLEN>(
                                                 indicator, 0, static_cast<SQLLEN>(chunk))));
                break;
            }
            kept += chunk;
            chunk *= 2;
        }
        binary.m_dwDataLength = static_cast<std::uint32_t>(binary.m_hData.size());
        return;
    }
    if (nLength >= nIndicator) {
        binary.m_hData.resize(static_cast<std::size_t>(std::max<SQLLEN>(nIndicator, 0)));
        binary.m_dwDataLength = static_cast<std::uint32_t>(binary.m_hData.size());
        return;
    }
    const std::size_t kept = static_cast<std::size_t>(nLength);
    binary.m_hData.resize(static_cast<std::size_t>(nIndicator));
    binary.m_dwDataLength = static_cast<std::uint32_t>(nIndicator);
    const SQLLEN rest = nIndicator - static_cast<SQLLEN>(kept);
    SQLLEN indicator = 0;
    SQLRETURN rc =
        GetData(hstmt, nColumn, SQL_C_BINARY, binary.m_hData.data() + kept, rest, &indicator);
    CheckContinuedRead(rc, pDatabase, hstmt, index);
    const std::size_t total =
        kept + static_cast<std::size_t>(std::clamp<SQLLEN>(indicator, 0, rest));
    binary.m_hData.resize(total);
    binary.m_dwDataLength = static_cast<std::uint32_t>(total);
}

}  // namespace

void CRecordset::GetFieldValue(short nIndex, CDBVariant& varValue, short nFieldType) {
    // A caller reading a row field by field passes the same variant each time:
    // the text it holds lends its block to the next text read.
    std::unique_ptr<std::string> spare;
    if (varValue.m_dwValueType == DBVAR_STRING) {
        spare.reset(varValue.m_pString);
        varValue.m_dwValueType = DBVAR_NULL;
    }
    varValue.ResetValue();
    if (m_nResultColumns <= 0 || m_columnDescriptions.empty()) return;
    const int column = nIndex + 1;
    if (column < 1 || column > m_nResultColumns ||
        static_cast<std::size_t>(column) > m_columnDescriptions.size())
        RaiseError(DBERR_FIELD_NOT_FOUND, m_hstmt);
    const ColumnDescription& d = m_columnDescriptions[static_cast<std::size_t>(nIndex)];
    const SQLSMALLINT cType = nFieldType != 0 ? nFieldType : DefaultCTypeForSqlType(d.m_nSqlType);
    SQLLEN length = 0;
    void* buffer = PrepareVariantBuffer(varValue, cType, length, d.m_nSqlType, d.m_nColumnSize,
                                        std::move(spare));
    try {
        const SQLUSMALLINT nColumn = static_cast<SQLUSMALLINT>(column);
        const SQLLEN indicator =
            FetchFieldData(m_pDatabase, m_hstmt, nColumn, cType, buffer, length, d.m_nSqlType);
        if (indicator == SQL_NULL_DATA) {
            varValue.ResetValue();
            return;
        }
        if (cType == SQL_C_CHAR)
            FetchRemainingText(m_pDatabase, m_hstmt, nColumn, indicator, length,
                               *varValue.m_pString);
        else if (cType == SQL_C_BINARY)
            FetchRemainingBinary(m_pDatabase, m_hstmt, nColumn, indicator, length,
                                 *varValue.m_pBinary);
    } catch (const CDBException&) {
        varValue.ResetValue();
        throw;
    }
}

void CRecordset::GetFieldValue(const char* lpszName, CDBVariant& varValue, short nFieldType) {
    for (std::size_t i = 0; i < m_columnDescriptions.size(); ++i) {
        if (m_columnDescriptions[i].m_strResultName == lpszName) {
            GetFieldValue(static_cast<short>(i), varValue, nFieldType);
            return;
        }
    }
    varValue.ResetValue();
    RaiseError(DBERR_FIELD_NOT_FOUND, m_hstmt);
}
