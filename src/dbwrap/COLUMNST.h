// The column catalog recordset: one row per column of a table, read through
// SQLColumns. The table query walks it once per query so that a misspelt
// column in the ini file is reported by name before the user table is read.
#pragma once

#include <string>

#include "odbc/recordset.h"

class CColumns : public CRecordset {
public:
    explicit CColumns(CDatabase* pDatabase);

    const char* RuntimeClassOf() const override { return "CColumns"; }
    // Lists the catalog instead of preparing a SELECT; lpszSQL must be null.
    bool Open(int nOpenType = -1, const char* lpszSQL = nullptr,
              std::uint32_t dwOptions = none) override;
    std::string DefaultConnectString() override { return "ODBC;"; }
    // There is no statement to default to.
    std::string DefaultStatement() override { return "!"; }
    void ExchangeFields(FieldExchange* pFX) override;
    // The table whose columns the next Open lists.
    void SetTablePattern(const std::string& table) { m_strTablePattern = table; }

    // The first eleven catalog columns, bound by position.
    std::string m_strTableQualifier;
    std::string m_strTableOwner;
    std::string m_strTableName;
    std::string m_strColumnName;
    int m_nDataType = 0;
    std::string m_strTypeName;
    long m_lPrecision = 0;
    long m_lLength = 0;
    int m_nScale = 0;
    int m_nRadix = 0;
    int m_nNullable = 0;

    // Search parameters; an empty one is passed as a null pointer. The table
    // pattern is the driver's search pattern, so "_" and "%" match as wildcards.
    std::string m_strQualifierPattern;
    std::string m_strOwnerPattern;
    std::string m_strTablePattern;
};
