#include "dbwrap/crow.h"

#include "odbc/field_exchange.h"

CRow::CRow(CDatabase* pDatabase) : CRecordset(pDatabase)
{
    m_nFields = 0;
    m_nDefaultOpenType = staticCursor;
}

CRow::~CRow()
{
    // The base destructor closes a recordset still holding a statement, and
    // it does so with m_nFields counting the bound fields; so the lists go
    // first only when nothing is bound any more.
    if (m_hstmt == SQL_NULL_HSTMT)
        RemoveColumns();
}

void CRow::Close()
{
    CRecordset::Close();
    RemoveColumns();
}

void CRow::RemoveColumns()
{
    while (!m_listNames.empty()) {
        m_listNames.pop_front();
        m_listValues.pop_front();
    }
    m_listValues.clear();
    m_listParams.clear();
    m_nFields = 0;
    m_nParams = 0;
}

void CRow::AddColumn(const std::string& name)
{
    m_listValues.emplace_back();
    m_listNames.push_back(name);
    ++m_nFields;
}

void CRow::AddParameter(const std::string& value)
{
    m_listParams.push_back(value);
    ++m_nParams;
}

void CRow::ExchangeFields(FieldExchange* pFX)
{
    pFX->SetExchangeFieldType(FieldExchange::fieldResult);
    auto value = m_listValues.begin();
    for (auto name = m_listNames.begin(); name != m_listNames.end(); ++name, ++value)
        ExchangeText(pFX, name->c_str(), *value, 255, SQL_VARCHAR, 0);
    if (!m_listParams.empty()) {
        pFX->SetExchangeFieldType(FieldExchange::fieldParam);
        for (std::string& param : m_listParams)
            ExchangeText(pFX, "parameter", param, 255, SQL_VARCHAR, 0);
    }
}
