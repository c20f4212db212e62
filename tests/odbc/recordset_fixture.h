// Shared pieces of the recordset tests: a connection on a private SQLite
// database, a recordset whose fields and parameters a test lists at run
// time (as the user-table recordset does), and the code a failing call raises.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "odbc/database.h"
#include "odbc/db_exception.h"
#include "odbc/field_exchange.h"
#include "odbc/recordset.h"
#include "support/odbc_env.h"

// The code of the CDBException that f throws, or SQL_SUCCESS when it throws none.
inline SQLRETURN CodeOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const CDBException& e) {
        return e.m_nReturnCode;
    }
    return SQL_SUCCESS;
}

class TestRecordset : public CRecordset {
public:
    explicit TestRecordset(CDatabase* db) : CRecordset(db) {}

    void AddText(const std::string& name, int maxLength = 255) {
        fields.push_back({name, 't', texts.size(), maxLength});
        texts.emplace_back();
        ++m_nFields;
    }
    void AddInt(const std::string& name) {
        fields.push_back({name, 'i', ints.size(), 0});
        ints.push_back(0);
        ++m_nFields;
    }
    void AddLong(const std::string& name) {
        fields.push_back({name, 'l', longs.size(), 0});
        longs.push_back(0);
        ++m_nFields;
    }
    void AddParam(const std::string& value) {
        params.push_back(value);
        ++m_nParams;
    }

    void ExchangeFields(FieldExchange* fx) override {
        fx->SetExchangeFieldType(FieldExchange::fieldResult);
        for (const Field& f : fields) {
            if (f.kind == 't')
                ExchangeText(fx, f.name.c_str(), texts[f.slot], f.maxLength, SQL_VARCHAR, 0);
            if (f.kind == 'i') ExchangeInt(fx, f.name.c_str(), ints[f.slot]);
            if (f.kind == 'l') ExchangeLong(fx, f.name.c_str(), longs[f.slot]);
        }
        if (!params.empty()) {
            fx->SetExchangeFieldType(FieldExchange::fieldParam);
            for (std::string& p : params) ExchangeText(fx, "", p, 255, SQL_VARCHAR, 0);
        }
    }

    void Close() override {
        ++closeCalls;
        CRecordset::Close();
    }

    bool InConnectionList() const {
        for (CRecordset* rs : m_pDatabase->m_listRecordsets)
            if (rs == this) return true;
        return false;
    }

    struct Field {
        std::string name;
        char kind;
        std::size_t slot;
        int maxLength;
    };
    std::vector<Field> fields;
    std::deque<std::string> texts;
    std::deque<int> ints;
    std::deque<long> longs;
    std::deque<std::string> params;
    int closeCalls = 0;
};

// A connection on a fresh database; tests make their tables with env->exec.
class RecordsetTest : public ::testing::Test {
protected:
    void SetUp() override {
        env = std::make_unique<odbc_env>();
        db = std::make_unique<CDatabase>();
        ASSERT_TRUE(db->OpenConnection(env->connect_string().c_str(), 0));
    }
    void TearDown() override {
        db.reset();
        env.reset();
    }

    std::unique_ptr<odbc_env> env;
    std::unique_ptr<CDatabase> db;
};
