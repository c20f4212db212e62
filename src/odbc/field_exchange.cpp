#include "odbc/field_exchange.h"

#include <algorithm>
#include <cstring>

#include "odbc/recordset.h"
#include "odbc/trace.h"

namespace {

// Values given to a NULL number, so that a caller that ignores the null bit
// still sees something recognisable rather than the previous row's value.
constexpr int kPseudoNullInt = 32484;         // 0x7EE4
constexpr long kPseudoNullLong = 1246576928;  // 0x4A4D4120

FieldState* StateOf(CRecordset* rs, unsigned nField) {
    if (nField == 0 || nField > rs->m_fieldStates.size()) return nullptr;
    return &rs->m_fieldStates[nField - 1];
}

unsigned char* StatusOf(CRecordset* rs, unsigned nField) {
    if (nField == 0 || nField > rs->m_fieldFlags.size()) return nullptr;
    return &rs->m_fieldFlags[nField - 1];
}

const ColumnDescription* ColumnOf(CRecordset* rs, unsigned nField) {
    if (nField == 0 || nField > rs->m_columnDescriptions.size()) return nullptr;
    return &rs->m_columnDescriptions[nField - 1];
}

void MarkNull(CRecordset* rs, unsigned nField) {
    if (unsigned char* status = StatusOf(rs, nField)) *status |= CRecordset::fieldNull;
}

// Binds parameter nParam from the recordset's own buffer, copying `bytes`
// into it. The buffer and its length/indicator stay where they are while the
// statement holds the binding; a value that does not fit gets a larger
// buffer and a new SQLBindParameter, one that fits is only copied in.
void BindParameterValue(FieldExchange* pFX, unsigned nParam, const void* pMember, const char* bytes,
                        std::size_t length, SQLSMALLINT nCType, SQLSMALLINT nSqlType,
                        std::size_t nMinBuffer) {
    CRecordset* rs = pFX->m_pRecordset;
    if (nParam == 0 || nParam > rs->m_paramBuffers.size() || nParam > rs->m_paramLengths.size())
        return;
    std::vector<char>& buffer = rs->m_paramBuffers[nParam - 1];
    SQLLEN& indicator = rs->m_paramLengths[nParam - 1];
    const bool isText = nCType == SQL_C_CHAR;
    const std::size_t needed = isText ? length + 1 : length;
    bool bind = pFX->m_nExchangeOperation == FieldExchange::BindParameter;
    if (buffer.size() < needed) {
        buffer.assign(std::max(needed, nMinBuffer), '\0');
        bind = true;
    } else if (buffer.empty()) {
        buffer.assign(std::max<std::size_t>(nMinBuffer, 1), '\0');
        bind = true;
    }
    if (length > 0) std::memcpy(buffer.data(), bytes, length);
    if (isText) buffer[length] = '\0';
    indicator = static_cast<SQLLEN>(length);
    if (!bind) return;
    const SQLULEN columnSize = isText ? std::max<SQLULEN>(buffer.size() - 1, 1) : 0;
    SQLRETURN rc = SQLBindParameter(pFX->m_hstmt, static_cast<SQLUSMALLINT>(nParam),
                                    SQL_PARAM_INPUT, nCType, nSqlType, columnSize, 0, buffer.data(),
                                    static_cast<SQLLEN>(buffer.size()), &indicator);
    if (!rs->CheckReturn(rc)) rs->RaiseError(rc, pFX->m_hstmt);
    rs->m_paramIndexMap[pMember] = nParam;
}

}  // namespace

FieldExchange::FieldExchange(unsigned nOperation, CRecordset* pRecordset, void* pFieldAddress)
    : m_nExchangeOperation(nOperation), m_pRecordset(pRecordset), m_pFieldAddress(pFieldAddress) {}

void FieldExchange::SetExchangeFieldType(unsigned nFieldType) { m_nExchangeFieldType = nFieldType; }

bool FieldExchange::MatchesFieldType(unsigned& nField) {
    const bool isResult = m_nExchangeFieldType == fieldResult;
    nField = isResult ? ++m_nFields : ++m_nParams;
    return IsParameterPass() ? !isResult : isResult;
}

void FieldExchange::ExchangeDefault(const char* szName, void* pValue, SQLLEN* plLength,
                                    SQLSMALLINT nCType, SQLLEN cbValue, SQLULEN /*cbPrecision*/) {
    switch (m_nExchangeOperation) {
    case BindColumn: {
        SQLRETURN rc = SQLBindCol(m_pRecordset->m_hstmt, static_cast<SQLUSMALLINT>(m_nFields),
                                  nCType, pValue, cbValue, plLength);
        if (!m_pRecordset->CheckReturn(rc)) m_pRecordset->RaiseError(rc);
        m_pRecordset->m_fieldIndexMap[pValue] = m_nFields;
        break;
    }
    case ListNames: {
        const unsigned char* status = StatusOf(m_pRecordset, m_nFields);
        if (status && (*status & CRecordset::fieldDirty) && m_pText && szName && *szName) {
            *m_pText += szName;
            *m_pText += m_pszSeparator ? m_pszSeparator : ",";
        }
        break;
    }
    default:
        break;
    }
}

void ExchangeText(FieldExchange* pFX, const char* szName, std::string& value, int nMaxLength,
                  int /*nColumnType*/, short /*nScale*/) {
    unsigned nField = 0;
    if (!pFX->MatchesFieldType(nField)) return;
    CRecordset* rs = pFX->m_pRecordset;

    if (pFX->IsParameterPass()) {
        BindParameterValue(pFX, nField, &value, value.data(), value.size(), SQL_C_CHAR, SQL_VARCHAR,
                           static_cast<std::size_t>(std::max(nMaxLength, 0)) + 1);
        return;
    }

    FieldState* state = StateOf(rs, nField);
    switch (pFX->m_nExchangeOperation) {
    case FieldExchange::BindColumn: {
        if (!state) return;
        const ColumnDescription* column = ColumnOf(rs, nField);
        long sqlType = column ? column->m_nSqlType : SQL_VARCHAR;
        long size = column ? static_cast<long>(column->m_nColumnSize) : 0;
        switch (sqlType) {
        case SQL_CHAR:
        case SQL_VARCHAR:
        case SQL_LONGVARCHAR:
            break;
        case SQL_NUMERIC:
        case SQL_DECIMAL:
            size += 2;
            break;
        case SQL_INTEGER:
        case SQL_SMALLINT:
        case SQL_TINYINT:
        case SQL_BIGINT:
            size += 1;
            break;
        case SQL_FLOAT:
        case SQL_REAL:
        case SQL_DOUBLE:
        case SQL_DATE:
        case SQL_TIME:
        case SQL_TIMESTAMP:
            size += 10;
            break;
        default:
            db_trace_category(traceDatabase, "Warning: CString converted from SQL type %ld.\n",
                              sqlType);
            size += 10;
            break;
        }
        if (size < 256 || size > nMaxLength) size = nMaxLength;
        if (size < 0) size = 0;
        state->m_proxy.assign(static_cast<std::size_t>(size) + 1, '\0');
        state->m_pBindAddress = state->m_proxy.data();
        SQLRETURN rc = SQLBindCol(pFX->m_hstmt, static_cast<SQLUSMALLINT>(nField), SQL_C_CHAR,
                                  state->m_proxy.data(), static_cast<SQLLEN>(state->m_proxy.size()),
                                  &state->m_nLengthIndicator);
        value.clear();  // the buffer is all zeros until the first fetch
        if (!rs->CheckReturn(rc)) rs->RaiseError(rc);
        rs->m_fieldIndexMap[&value] = nField;
        break;
    }
    case FieldExchange::FixupAfterFetch:
        if (!state || state->m_proxy.empty()) return;
        if (state->m_nLengthIndicator == SQL_NULL_DATA) {
            MarkNull(rs, nField);
            value.clear();
        } else {
            // The length is the driver's, not that of a C string: a value
            // holding a NUL arrives whole, so that whoever reads it can see
            // the NUL (and refuse it) rather than a shorter text.
            const char* text = state->m_proxy.data();
            const SQLLEN indicator = state->m_nLengthIndicator;
            const std::size_t length =
                indicator >= 0 && static_cast<std::size_t>(indicator) < state->m_proxy.size()
                    ? static_cast<std::size_t>(indicator)
                    : strnlen(text, state->m_proxy.size() - 1);
            // Rows often repeat a value (the table name in every catalog row);
            // an equal text is left as it is.
            if (value.size() != length || std::memcmp(value.data(), text, length) != 0)
                value.assign(text, length);
            state->m_nLengthIndicator = static_cast<SQLLEN>(length);
        }
        break;
    case FieldExchange::ListNames:
        pFX->ExchangeDefault(szName, &value, state ? &state->m_nLengthIndicator : nullptr,
                             SQL_C_CHAR, static_cast<SQLLEN>(value.size()),
                             static_cast<SQLULEN>(nMaxLength));
        break;
    case FieldExchange::AllocateFieldCache:
        if (!state) return;
        state->m_pCache = std::make_unique<std::string>();
        state->m_nCacheType = 10;
        break;
    case FieldExchange::DumpFieldValue:
        if (pFX->m_pDump) *pFX->m_pDump += std::string("\n") + szName + " = " + value;
        break;
    default:
        break;
    }
}

namespace {

// The int and long exchanges differ only in their warnings, pseudo-null
// values and cache codes.
template <typename T>
void ExchangeNumber(FieldExchange* pFX, const char* szName, T& value, SQLSMALLINT nExpectedType,
                    const char* warning, T pseudoNull, unsigned nCacheType, SQLULEN nPrecision) {
    unsigned nField = 0;
    if (!pFX->MatchesFieldType(nField)) return;
    CRecordset* rs = pFX->m_pRecordset;

    if (pFX->IsParameterPass()) {
        const std::int32_t v = static_cast<std::int32_t>(value);
        BindParameterValue(pFX, nField, &value, reinterpret_cast<const char*>(&v), sizeof v,
                           SQL_C_LONG, SQL_INTEGER, sizeof v);
        return;
    }

    FieldState* state = StateOf(rs, nField);
    switch (pFX->m_nExchangeOperation) {
    case FieldExchange::BindColumn: {
        if (!state) return;
        const ColumnDescription* column = ColumnOf(rs, nField);
        if (column && column->m_nSqlType != nExpectedType)
            db_trace_category(traceDatabase, warning, static_cast<long>(column->m_nSqlType));
        // The driver writes a 32-bit integer; a buffer of the recordset's own
        // takes it, whatever the width of the member on this platform.
        state->m_proxy.assign(sizeof(std::int32_t), '\0');
        state->m_pBindAddress = state->m_proxy.data();
        pFX->ExchangeDefault(szName, state->m_proxy.data(), &state->m_nLengthIndicator, SQL_C_LONG,
                             sizeof(std::int32_t), nPrecision);
        rs->m_fieldIndexMap.erase(state->m_proxy.data());
        rs->m_fieldIndexMap[&value] = nField;
        break;
    }
    case FieldExchange::FixupAfterFetch:
        if (!state || state->m_proxy.size() < sizeof(std::int32_t)) return;
        if (state->m_nLengthIndicator == SQL_NULL_DATA) {
            MarkNull(rs, nField);
            value = pseudoNull;
        } else {
            std::int32_t v;
            std::memcpy(&v, state->m_proxy.data(), sizeof v);
            value = static_cast<T>(v);
        }
        break;
    case FieldExchange::ListNames:
        pFX->ExchangeDefault(szName, &value, state ? &state->m_nLengthIndicator : nullptr,
                             SQL_C_LONG, sizeof(std::int32_t), nPrecision);
        break;
    case FieldExchange::AllocateFieldCache:
        if (state) state->m_nCacheType = nCacheType;
        break;
    case FieldExchange::DumpFieldValue:
        if (pFX->m_pDump)
            *pFX->m_pDump += std::string("\n") + szName + " = " + std::to_string(value);
        break;
    default:
        break;
    }
}

}  // namespace

void ExchangeInt(FieldExchange* pFX, const char* szName, int& value) {
    ExchangeNumber<int>(pFX, szName, value, SQL_SMALLINT,
                        "Warning: int converted from SQL type %ld.\n", kPseudoNullInt, 3, 5);
}

void ExchangeLong(FieldExchange* pFX, const char* szName, long& value) {
    ExchangeNumber<long>(pFX, szName, value, SQL_INTEGER,
                         "Warning: long converted from SQL type %ld.\n", kPseudoNullLong, 4, 10);
}
