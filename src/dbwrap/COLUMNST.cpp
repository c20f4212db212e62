#include "dbwrap/COLUMNST.h"

#include "odbc/database.h"
#include "odbc/field_exchange.h"

namespace {

SQLCHAR* pattern_or_null(std::string& pattern) {
    return pattern.empty() ? nullptr : reinterpret_cast<SQLCHAR*>(&pattern[0]);
}

}  // namespace

CColumns::CColumns(CDatabase* pDatabase) : CRecordset(pDatabase) { m_nFields = 11; }

bool CColumns::Open(int nOpenType, const char* lpszSQL, std::uint32_t dwOptions) {
    (void)lpszSQL;  // the catalog has no SQL text of its own
    SetOpenState(nOpenType, nullptr, dwOptions | noChangeCheck);
    if (!ObtainStatementHandle()) return false;
    try {
        ApplyStatementOptions(m_hstmt);
        AllocateStatusArrays();
        SQLRETURN code;
        do {
            code = SQLColumns(m_hstmt, pattern_or_null(m_strQualifierPattern), SQL_NTS,
                              pattern_or_null(m_strOwnerPattern), SQL_NTS,
                              pattern_or_null(m_strTablePattern), SQL_NTS, nullptr, SQL_NTS);
        } while (code == SQL_STILL_EXECUTING);
        if (!CheckReturn(code)) RaiseError(code, m_hstmt);
        DescribeResultColumns();
        AllocateRowset();
        MoveNext();
        m_bBOF = m_bEOF;
    } catch (...) {
        Close();
        throw;
    }
    return true;
}

void CColumns::ExchangeFields(FieldExchange* pFX) {
    pFX->SetExchangeFieldType(FieldExchange::fieldResult);
    ExchangeText(pFX, "table_qualifier", m_strTableQualifier, 255, SQL_VARCHAR, 0);
    ExchangeText(pFX, "table_owner", m_strTableOwner, 255, SQL_VARCHAR, 0);
    ExchangeText(pFX, "table_name", m_strTableName, 255, SQL_VARCHAR, 0);
    ExchangeText(pFX, "column_name", m_strColumnName, 255, SQL_VARCHAR, 0);
    ExchangeInt(pFX, "data_type", m_nDataType);
    ExchangeText(pFX, "type_name", m_strTypeName, 255, SQL_VARCHAR, 0);
    ExchangeLong(pFX, "precision", m_lPrecision);
    ExchangeLong(pFX, "length", m_lLength);
    ExchangeInt(pFX, "scale", m_nScale);
    ExchangeInt(pFX, "radix", m_nRadix);
    ExchangeInt(pFX, "nullable", m_nNullable);
}
