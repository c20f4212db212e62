// Failures that the SQLite driver cannot be made to produce on demand: the
// driver refusing a concurrency, a failed re-execution, and fetches that
// report a row error or a warning. The calls are answered by call_counter,
// the diagnostic records by scripted_sql_error.
#include <gtest/gtest.h>

#include "call_counter.h"
#include "odbc/db_exception.h"
#include "odbc_fakes.h"
#include "recordset_fixture.h"
#include "trace_capture.h"

namespace {

bool Has(const std::string& text, const char* what) { return text.find(what) != std::string::npos; }

class RecordsetFailureTest : public RecordsetTest {
protected:
    void SetUp() override {
        RecordsetTest::SetUp();
        env->exec(
            "CREATE TABLE t(a varchar(20)); INSERT INTO t VALUES('1'); INSERT INTO t VALUES('2')");
        rs = std::make_unique<TestRecordset>(db.get());
        rs->AddText("a");
        rs->m_strOrderBy = "a";
    }
    void TearDown() override {
        rs.reset();
        RecordsetTest::TearDown();
    }
    std::unique_ptr<TestRecordset> rs;
};

// SQLite offers only locking concurrency; when the driver then refuses it
// at prepare (S1C00) the recordset falls back to read-only and prepares again.
TEST_F(RecordsetFailureTest, RefusedConcurrencyFallsBackToReadOnly) {
    trace_capture trace(traceDatabase);
    call_counter calls;
    calls.fail_next("SQLPrepare", SQL_ERROR);
    scripted_sql_error refuse({{"S1C00", 0, "[fake]Driver not capable"}});
    ASSERT_TRUE(rs->Open(-1, "t"));
    EXPECT_EQ(calls["SQLPrepare"], 2);
    EXPECT_EQ(rs->m_dwLockKind, static_cast<std::uint32_t>(SQL_CONCUR_READ_ONLY));
    EXPECT_FALSE(rs->AllowsUpdate());
    EXPECT_FALSE(rs->AllowsAppend());
    EXPECT_EQ(rs->texts[0], "1");
    EXPECT_TRUE(Has(trace.text(), "Warning: Driver does not support requested concurrency.\n"));
    EXPECT_TRUE(Has(trace.text(), "Warning: Setting recordset read only.\n"));
}

TEST_F(RecordsetFailureTest, PrepareFailuresThatNoFallBackCures) {
    struct Case {
        const char* state;
        int failures;
        std::uint32_t options;
        int prepares;
    } cases[] = {
        {"42000", 1, CRecordset::none, 1},      // not a concurrency problem
        {"S1C00", 2, CRecordset::none, 2},      // refused again at read-only
        {"S1C00", 1, CRecordset::readOnly, 1},  // already read-only
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.state);
        trace_capture trace(0);
        call_counter calls;
        calls.fail_next("SQLPrepare", SQL_ERROR, c.failures);
        // One record: the first failure consumes it, a second one finds none.
        scripted_sql_error refuse({{c.state, 0, "[fake]refused"}});
        try {
            rs->Open(-1, "t", c.options);
            FAIL() << "open succeeded";
        } catch (const CDBException& e) {
            EXPECT_EQ(e.m_nReturnCode, SQL_ERROR);
            EXPECT_EQ(e.m_strStateText, c.failures == 1 ? std::string("State:") + c.state +
                                                              ",Native:0,Origin:[fake]\n"
                                                        : "");
        }
        EXPECT_EQ(calls["SQLPrepare"], c.prepares);
        EXPECT_TRUE(Has(trace.text(), "Error: ODBC failure on SQLPrepare or SQLExecDirect\n"));
        EXPECT_FALSE(rs->IsOpen());
        EXPECT_TRUE(db->m_listRecordsets.empty());
    }
}

TEST_F(RecordsetFailureTest, FailedReexecutionClosesTheRecordset) {
    ASSERT_TRUE(rs->Open(-1, "t"));
    trace_capture trace(0);
    call_counter calls;
    calls.fail_next("SQLExecute", SQL_ERROR);
    EXPECT_EQ(CodeOf([&] { rs->Requery(); }), SQL_ERROR);
    EXPECT_TRUE(Has(trace.text(), "Error: Requery attempt failed.\n"));
    EXPECT_EQ(rs->closeCalls, 1);
    EXPECT_FALSE(rs->IsOpen());
    EXPECT_TRUE(db->m_listRecordsets.empty());
    ASSERT_TRUE(rs->Open(-1, "t"));  // and opens again
    EXPECT_EQ(rs->texts[0], "1");
}

// What a fetch answering SQL_SUCCESS_WITH_INFO means depends on its state.
TEST_F(RecordsetFailureTest, FetchWithInfoByState) {
    struct Case {
        const char* state;
        SQLRETURN code;
        const char* traced;
    } cases[] = {
        {"01S01", DBERR_ROW_FETCH,
         "Error: fetching row from server.\nrow went "
         "wrong\n\nState:01S01,Native:0,Origin:[fake]\n\n"},
        {"01004", DBERR_DATA_TRUNCATED, "Error: field data truncated during data fetch.\n"},
        {"01000", SQL_SUCCESS, "Warning: ODBC Success With Info,\nrow went wrong\n\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.state);
        ASSERT_TRUE(rs->Open(-1, "t"));
        trace_capture trace(traceDatabase);
        call_counter calls;
        calls.fail_next("SQLExtendedFetch", SQL_SUCCESS_WITH_INFO);
        scripted_sql_error info({{c.state, 0, "[fake]row went wrong"}});
        EXPECT_EQ(CodeOf([&] { rs->MoveNext(); }), c.code);
        EXPECT_TRUE(Has(trace.text(), c.traced)) << trace.text();
        EXPECT_TRUE(rs->IsOpen());  // a failed move leaves the recordset open
        EXPECT_EQ(rs->RecordsSeen(), c.code == SQL_SUCCESS ? 2 : 1);
        rs->Close();
    }
}

TEST_F(RecordsetFailureTest, FetchErrorCarriesTheDriverRecords) {
    ASSERT_TRUE(rs->Open(-1, "t"));
    call_counter calls;
    calls.fail_next("SQLExtendedFetch", SQL_ERROR);
    scripted_sql_error failure({{"S1000", 5, "[fake]disk gone"}});
    try {
        rs->MoveNext();
        FAIL() << "move succeeded";
    } catch (const CDBException& e) {
        EXPECT_EQ(e.m_nReturnCode, SQL_ERROR);
        EXPECT_EQ(e.m_strErrorText, "disk gone\n");
        EXPECT_EQ(e.m_strStateText, "State:S1000,Native:5,Origin:[fake]\n");
    }
    EXPECT_TRUE(rs->IsOpen());
    EXPECT_EQ(rs->RecordsSeen(), 1);
}

// A statement refused on the connection carries the connection's records:
// on a dropped link they are all the log can say about it.
TEST_F(RecordsetFailureTest, RefusedStatementCarriesTheConnectionsRecords) {
    CDatabase unconnected;
    unconnected.AllocateConnection(0);
    TestRecordset on(&unconnected);
    on.AddText("a");
    try {
        on.Open(-1, "t");
        FAIL() << "open succeeded";
    } catch (const CDBException& e) {
        EXPECT_EQ(e.m_nReturnCode, SQL_INVALID_HANDLE);
        EXPECT_EQ(e.m_states, std::vector<std::string>{"08003"});
        EXPECT_FALSE(e.m_strErrorText.empty());
    }
}

}  // namespace
