#include "dbwrap/crow.h"

#include "odbc/field_exchange.h"

CRow::CRow(CDatabase* pDatabase) : CRecordset(pDatabase) {
    m_nFields = 0;
    m_nDefaultOpenType = staticCursor;
}

CRow::~CRow() {
    // The base destructor closes a recordset still holding a statement, and
    // it does so with m_nFields counting the bound fields; so the lists go
    // first only when nothing is bound any more.
    if (m_hstmt == SQL_NULL_HSTMT) RemoveColumns();
}

void CRow::Close() {
    CRecordset::Close();
    RemoveColumns();
}

void CRow::RemoveColumns() {
    m_spareNodes.splice(m_spareNodes.end(), m_listNames);
    m_spareNodes.splice(m_spareNodes.end(), m_listValues);
    m_spareNodes.splice(m_spareNodes.end(), m_listParams);
    m_nFields = 0;
    m_nParams = 0;
}

std::string& CRow::TakeNode(std::list<std::string>& into) {
    if (m_spareNodes.empty())
        into.emplace_back();
    else
        into.splice(into.end(), m_spareNodes, m_spareNodes.begin());
    return into.back();
}

void CRow::AddColumn(const std::string& name) {
    TakeNode(m_listValues).clear();
    TakeNode(m_listNames) = name;
    ++m_nFields;
}

void CRow::AddParameter(const std::string& value) {
    TakeNode(m_listParams) = value;
    ++m_nParams;
}

void CRow::SetParameterValues(const std::vector<std::string>& values) {
    auto value = values.begin();
    for (std::string& param : m_listParams) {
        if (value == values.end()) break;
        param = *value++;
    }
}

void CRow::ExchangeFields(FieldExchange* pFX) {
    pFX->SetExchangeFieldType(FieldExchange::fieldResult);
    auto value = m_listValues.begin();
    for (auto name = m_listNames.begin(); name != m_listNames.end(); ++name, ++value)
        ExchangeText(pFX, name->c_str(), *value, kTextLength, SQL_VARCHAR, 0);
    if (!m_listParams.empty()) {
        pFX->SetExchangeFieldType(FieldExchange::fieldParam);
        for (std::string& param : m_listParams)
            ExchangeText(pFX, "parameter", param, kTextLength, SQL_VARCHAR, 0);
    }
}
