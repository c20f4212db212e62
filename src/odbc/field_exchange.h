// Record field exchange: ties the member variables of a recordset subclass to
// the columns of its result and to the "?" markers of its statement. The
// subclass lists its fields once, in ExchangeFields; the recordset runs that
// list with one operation per pass (bind, fix up after a fetch, name, ...).
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <string>

class CRecordset;

class FieldExchange {
public:
    // The operation of a pass.
    enum : unsigned {
        BindParameter = 0,
        RebindParameter = 1,
        BindColumn = 2,
        BindForUpdate = 3,
        UnbindForUpdate = 4,
        FixupAfterFetch = 5,
        MarkForInsert = 6,
        MarkForChange = 7,
        ListNames = 8,
        NameAndValue = 9,
        ListValues = 10,
        SetFieldToNull = 11,
        StoreFieldValue = 12,
        LoadFieldValue = 13,
        AllocateFieldCache = 14,
        AllocateRowsetBuffers = 15,
        FreeRowsetBuffers = 16,
        DumpFieldValue = 17,
    };

    // The kind of the fields named after SetExchangeFieldType: result columns,
    // or parameters bound to the "?" markers of the statement (in order).
    enum : unsigned {
        fieldNone = static_cast<unsigned>(-1),
        fieldResult = 0,
        fieldParam = 1,
        fieldIn = 1,
        fieldInOut = 2,
        fieldOut = 4,
    };

    FieldExchange(unsigned nOperation, CRecordset* pRecordset, void* pFieldAddress = nullptr);

    void SetExchangeFieldType(unsigned nFieldType);
    // Counts the field (as an output column or as a parameter) and answers
    // whether the current operation acts on it; nField gets its 1-based number.
    bool MatchesFieldType(unsigned& nField);

    // The handling shared by all field types for the bind and name operations.
    void ExchangeDefault(const char* szName, void* pValue, SQLLEN* plLength, SQLSMALLINT nCType,
                         SQLLEN cbValue, SQLULEN cbPrecision);

    bool IsParameterPass() const {
        return m_nExchangeOperation == BindParameter || m_nExchangeOperation == RebindParameter;
    }

    unsigned m_nExchangeOperation;
    CRecordset* m_pRecordset;
    unsigned m_nExchangeFieldType = fieldNone;
    unsigned m_nFoundField = 0;
    std::string* m_pText = nullptr;
    bool m_bFieldDone = false;
    void* m_pFieldAddress;
    const char* m_pszSeparator = nullptr;
    unsigned m_nFields = 0;
    unsigned m_nParams = 0;
    unsigned m_nParamCount = 0;
    SQLHSTMT m_hstmt = SQL_NULL_HSTMT;
    long m_lLongDataChunk = 65536;
    long m_lLongDataGrow = 65536;
    // The DumpFieldValue pass writes "name = value" lines here.
    std::string* m_pDump = nullptr;
};

// Exchange functions, called from a subclass's ExchangeFields in the order of
// the result columns (output fields) or of the "?" markers (parameters).
//
// A subclass with one output column and one "?" in m_strWhere (m_nFields and
// m_nParams both 1):
//
//   void ExchangeFields(FieldExchange* pFX) override {
//     pFX->SetExchangeFieldType(FieldExchange::fieldResult);
//     ExchangeText(pFX, "maildrop", m_strMaildrop);
//     pFX->SetExchangeFieldType(FieldExchange::fieldParam);
//     ExchangeText(pFX, "user", m_strUserParam);
//   }
//
// A text output field is bound to a buffer the recordset owns and copied into
// `value` after each fetch. A text parameter is copied into a buffer of the
// recordset's own when the statement is executed (Open, Requery), bound as
// SQL_C_CHAR to SQL_VARCHAR, so its value is never part of the SQL text.
void ExchangeText(FieldExchange* pFX, const char* szName, std::string& value, int nMaxLength = 255,
                  int nColumnType = SQL_VARCHAR, short nScale = 0);
// An int, bound as a 32-bit integer; NULL gives 32484 with the null bit.
void ExchangeInt(FieldExchange* pFX, const char* szName, int& value);
// A long, bound as a 32-bit integer; NULL gives 1246576928 with the null bit.
void ExchangeLong(FieldExchange* pFX, const char* szName, long& value);
