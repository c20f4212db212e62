#include "odbc/recordset.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "odbc/database.h"
#include "odbc/db_exception.h"
#include "odbc/field_exchange.h"
#include "odbc/sql_text.h"
#include "odbc/trace.h"

CRecordset::CRecordset(CDatabase* pDatabase) : m_pDatabase(pDatabase) {
    if (!m_pDatabase || !m_pDatabase->IsOpen()) return;
    // A statement handle taken now saves the allocation at Open; failing to get
    // one is no error yet, Open tries again.
    try {
        SQLRETURN rc = SQLAllocStmt(m_pDatabase->m_hdbc, &m_hstmt);
        if (!CheckReturn(rc)) {
            m_hstmt = SQL_NULL_HSTMT;
            RaiseError(SQL_INVALID_HANDLE);
        }
        AddToConnection();
    } catch (const CException&) {
        if (m_hstmt != SQL_NULL_HSTMT) SQLFreeStmt(m_hstmt, SQL_DROP);
        m_hstmt = SQL_NULL_HSTMT;
    }
}

CRecordset::~CRecordset() {
    try {
        if (m_hstmt != SQL_NULL_HSTMT) CRecordset::Close();
        if (m_bRecordsetDb) m_ownedDatabase.reset();
        m_pDatabase = nullptr;
    } catch (const CException&) {
        db_trace("Error: Exception ignored in ~CRecordset().\n");
    }
}

void CRecordset::CheckValid() const {}

void CRecordset::Dump(std::ostream& dc, int nDepth) {
    dc << "m_nOpenType = " << m_nOpenType << "\nm_strSQL = " << m_strSQL
       << "\nm_hstmt = " << m_hstmt << "\nm_bRecordsetDb = " << m_bRecordsetDb
       << "\nm_lOpen = " << m_lOpen << "\nm_bScrollable = " << m_bScrollable
       << "\nm_bUpdatable = " << m_bUpdatable << "\nm_bAppendable = " << m_bAppendable
       << "\nm_nFields = " << m_nFields << "\nm_nFieldsBound = " << m_nFieldsBound
       << "\nm_nParams = " << m_nParams << "\nm_bEOF = " << m_bEOF << "\nm_bBOF = " << m_bBOF
       << "\nm_bDeleted = " << m_bDeleted << "\nm_bLockMode = " << m_bLockMode
       << "\nm_nEditMode = " << m_nEditMode << "\nm_strCursorName = " << m_strCursorName
       << "\nm_hstmtUpdate = " << m_hstmtUpdate
       << "\nDump values for each field in current record.";
    if (m_hstmt != SQL_NULL_HSTMT && m_nFieldsBound > 0) {
        std::string values;
        FieldExchange fx(FieldExchange::DumpFieldValue, this);
        fx.m_hstmt = m_hstmt;
        fx.m_pDump = &values;
        ExchangeFields(&fx);
        dc << values;
    }
    if (nDepth > 0) {
        if (m_pDatabase)
            dc << "with database: " << m_pDatabase->m_strConnect << "\n";
        else
            dc << "with no database\n";
    }
}

// ---------------------------------------------------------------- opening

bool CRecordset::Open(int nOpenType, const char* lpszSQL, std::uint32_t dwOptions) {
    SetOpenState(nOpenType, lpszSQL, dwOptions);
    if (!ObtainStatementHandle()) return false;
    try {
        ApplyStatementOptions(m_hstmt);
        const bool arraysPostponed = !(m_nFields > 0 || m_nParams > 0);
        if (!arraysPostponed) AllocateStatusArrays();
        BuildSQL(lpszSQL);
        PrepareAndExecute();
        DescribeResultColumns();
        AllocateRowset();
        if (arraysPostponed && (m_nFields > 0 || m_nParams > 0)) AllocateStatusArrays();
        BeforeBinding();
        MoveNext();
        m_bBOF = m_bEOF;
    } catch (...) {
        Close();
        throw;
    }
    return true;
}

void CRecordset::SetOpenState(int nOpenType, const char* lpszSQL, std::uint32_t dwOptions) {
    m_nOpenType = nOpenType == -1 ? m_nDefaultOpenType : static_cast<unsigned>(nOpenType);
    m_bAppendable = (dwOptions & insertOnly) != 0 || (dwOptions & readOnly) == 0;
    m_bUpdatable = (dwOptions & (readOnly | insertOnly)) == 0;
    if (dwOptions & (noChangeCheck | rowsetFetch)) m_bCacheForChangeCheck = false;
    if (m_nOpenType == forwardOnly && (dwOptions & readOnly) == 0) {
        db_trace_category(traceDatabase, "Warning: Setting forwardOnly recordset readOnly.\n");
        dwOptions |= readOnly;
        if (dwOptions & rowsetFetch) dwOptions |= extendedFetch;
    }
    m_dwOpenOptions = dwOptions;
    m_strRequeryStatement = lpszSQL ? lpszSQL : "";
    m_strRequeryWhere = m_strWhere;
    m_strRequeryOrder = m_strOrderBy;
}

bool CRecordset::ObtainStatementHandle() {
    if (m_hstmt != SQL_NULL_HSTMT) return true;
    if (!m_pDatabase) {
        m_ownedDatabase = std::make_unique<CDatabase>();
        m_pDatabase = m_ownedDatabase.get();
        m_bRecordsetDb = true;
    }
    if (!m_pDatabase->IsOpen() &&
        !m_pDatabase->Open(nullptr, false, false, DefaultConnectString().c_str(),
                           m_bUseCursorLibrary))
        return false;
    SQLRETURN rc = SQLAllocStmt(m_pDatabase->m_hdbc, &m_hstmt);
    if (!CheckReturn(rc)) {
        m_hstmt = SQL_NULL_HSTMT;
        // The connection's records say why (a dropped link, most often);
        // without them the failure would reach the log with no cause.
        CDBException failure(SQL_INVALID_HANDLE);
        failure.CollectErrors(m_pDatabase, SQL_NULL_HSTMT, true);
        throw failure;
    }
    try {
        AddToConnection();
    } catch (...) {
        SQLFreeStmt(m_hstmt, SQL_DROP);
        m_hstmt = SQL_NULL_HSTMT;
        throw;
    }
    return true;
}

void CRecordset::AddToConnection() {
    std::lock_guard<std::recursive_mutex> lock(odbc_lock());
    m_pDatabase->m_listRecordsets.push_front(this);
}

void CRecordset::RemoveFromConnection() {
    if (!m_pDatabase) return;
    std::lock_guard<std::recursive_mutex> lock(odbc_lock());
    auto& list = m_pDatabase->m_listRecordsets;
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (*it == this) {
            list.erase(it);
            return;
        }
    }
    db_trace_category(traceDatabase,
                      "WARNING: CRecordset not found in m_pDatabase->m_listRecordsets.\n");
}

void CRecordset::AllocateStatusArrays() {
    if (m_nFields > 0) {
        if (m_fieldStates.empty()) {
            if (m_spareFieldStates.size() == m_nFields) {
                m_fieldStates = std::move(m_spareFieldStates);
                for (FieldState& state : m_fieldStates) {
                    std::vector<char> room = std::move(state.m_proxy);
                    room.clear();
                    state = FieldState();
                    state.m_proxy = std::move(room);
                }
            } else {
                m_fieldStates = std::vector<FieldState>(m_nFields);
            }
            m_spareFieldStates.clear();
        }
        if (m_fieldFlags.empty()) m_fieldFlags.assign(m_nFields, 0);
    }
    if (m_nParams > 0) {
        if (m_paramFlags.empty()) m_paramFlags.assign(m_nParams, 0);
        if (m_paramLengths.empty()) m_paramLengths.assign(m_nParams, 0);
        if (m_paramBuffers.empty()) {
            if (m_spareParamBuffers.size() == m_nParams) {
                m_paramBuffers = std::move(m_spareParamBuffers);
                for (std::vector<char>& buffer : m_paramBuffers) buffer.clear();
            } else {
                m_paramBuffers.resize(m_nParams);
            }
            m_spareParamBuffers.clear();
        }
    }
}

void CRecordset::ApplyStatementOptions(SQLHSTMT hstmt) {
    m_pDatabase->ApplyStatementOptions(hstmt);
    if (m_nOpenType == forwardOnly && (m_dwOpenOptions & extendedFetch) == 0) return;

    if ((m_dwOpenOptions & withBookmarks) &&
        (m_pDatabase->m_dwBookmarkPersistence & SQL_BP_SCROLL)) {
        SQLRETURN rc = SQLSetStmtOption(hstmt, SQL_USE_BOOKMARKS, SQL_UB_ON);
        if (!CheckReturn(rc)) {
            db_trace("Error: Can't enable bookmark support.\n");
            RaiseError(rc, hstmt);
        }
    }
    if (m_nOpenType == forwardOnly) return;

    // The driver's capabilities are connection-level answers: their
    // diagnostics hang on the connection, not on the statement.
    SQLHDBC hdbc = m_pDatabase->m_hdbc;
    SQLUSMALLINT hasExtendedFetch = 0;
    SQLRETURN rc = SQLGetFunctions(hdbc, SQL_API_SQLEXTENDEDFETCH, &hasExtendedFetch);
    if (!CheckReturn(rc)) {
        db_trace("Error: ODBC failure determining whether recordset is scrollable.\n");
        RaiseDBException(rc, m_pDatabase, SQL_NULL_HSTMT);
    }
    m_bScrollable = hasExtendedFetch != 0;
    if (!m_bScrollable) {
        db_trace_category(traceDatabase, "Warning: SQLExtendedFetch not supported by driver\n");
        db_trace_category(traceDatabase,
                          "and/or cursor library not loaded. Opening forwardOnly.\n");
        db_trace_category(traceDatabase, "for use with SQLFetch.\n");
        m_bUpdatable = false;
    } else {
        char version[30] = {0};
        SQLSMALLINT length = 0;
        rc = SQLGetInfo(hdbc, SQL_ODBC_VER, version, sizeof version, &length);
        if (!CheckReturn(rc)) {
            db_trace("Error: ODBC failure checking for driver capabilities.\n");
            RaiseDBException(rc, m_pDatabase, SQL_NULL_HSTMT);
        }
        if (version[0] == '0' && version[1] < '2') RaiseError(DBERR_DRIVER_TOO_OLD);
    }

    SQLUINTEGER scrollOptions = 0;
    rc = SQLGetInfo(hdbc, SQL_SCROLL_OPTIONS, &scrollOptions, sizeof scrollOptions, nullptr);
    if (!CheckReturn(rc)) {
        db_trace("Error: ODBC failure checking for driver capabilities.\n");
        RaiseDBException(rc, m_pDatabase, SQL_NULL_HSTMT);
    }
    SQLULEN cursorType;
    if (m_nOpenType == keysetCursor) {
        if ((scrollOptions & SQL_SO_KEYSET_DRIVEN) == 0) RaiseError(DBERR_KEYSET_UNSUPPORTED);
        cursorType = SQL_CURSOR_KEYSET_DRIVEN;
    } else if (m_nOpenType == staticCursor) {
        if ((scrollOptions & SQL_SO_STATIC) == 0) RaiseError(DBERR_STATIC_UNSUPPORTED);
        cursorType = SQL_CURSOR_STATIC;
    } else {
        if ((scrollOptions & SQL_SO_DYNAMIC) == 0) RaiseError(DBERR_DYNAMIC_CURSOR_UNSUPPORTED);
        cursorType = SQL_CURSOR_DYNAMIC;
    }

    if (m_pDatabase->m_dwUpdateCaps & 0x1)
        m_bUpdateBySQL = false;
    else if (m_pDatabase->m_dwUpdateCaps & 0x2)
        m_bUpdateBySQL = true;
    else
        m_bUpdatable = false;

    m_dwLockKind = SQL_CONCUR_READ_ONLY;
    if ((m_bUpdatable || m_bAppendable) && m_pDatabase->m_bUpdatable) {
        SQLUINTEGER lockKinds = 0;
        rc = SQLGetInfo(hdbc, SQL_SCROLL_CONCURRENCY, &lockKinds, sizeof lockKinds, nullptr);
        if (!CheckReturn(rc)) {
            db_trace("Error: ODBC failure checking recordset updatability.\n");
            RaiseDBException(rc, m_pDatabase, SQL_NULL_HSTMT);
        }
        m_dwDriverLockKinds = lockKinds;
        if (m_bLockMode == lockPessimistic) {
            if (m_dwDriverLockKinds & SQL_SCCO_LOCK)
                m_dwLockKind = SQL_CONCUR_LOCK;
            else
                db_trace_category(traceDatabase,
                                  "Warning: locking not supported, setting recordset read only.\n");
        } else if (m_dwDriverLockKinds & SQL_SCCO_OPT_ROWVER) {
            m_dwLockKind = SQL_CONCUR_ROWVER;
        } else if (m_dwDriverLockKinds & SQL_SCCO_OPT_VALUES) {
            m_dwLockKind = SQL_CONCUR_VALUES;
        } else if (m_dwDriverLockKinds & SQL_SCCO_LOCK) {
            m_dwLockKind = SQL_CONCUR_LOCK;
        }
    }

    rc = SQLSetStmtOption(hstmt, SQL_CURSOR_TYPE, cursorType);
    if (!CheckReturn(rc)) {
        db_trace("Error: ODBC failure setting recordset cursor type.\n");
        RaiseError(rc, hstmt);
    }
    rc = SQLSetStmtOption(hstmt, SQL_CONCURRENCY, m_dwLockKind);
    if (!CheckReturn(rc)) {
        db_trace("Error: ODBC failure setting recordset concurrency.\n");
        RaiseError(rc, hstmt);
    }
}

void CRecordset::BuildSQL(const char* lpszSQL) {
    m_strSQL = lpszSQL ? std::string(lpszSQL) : DefaultStatement();
    if (!StartsWithNoCase(m_strSQL, "{CALL") && !StartsWithNoCase(m_strSQL, "{") &&
        !StartsWithNoCase(m_strSQL, "SELECT")) {
        const std::string table = m_strSQL;
        m_strSQL = "SELECT ";
        for (unsigned char& status : m_fieldFlags) status |= fieldDirty;
        if (RunExchange(FieldExchange::ListNames) == 0 || m_strSQL.back() != ',') {
            db_trace("Error: no field names - at least 1 required.\n");
            RaiseError(DBERR_NO_COLUMNS);
        }
        m_strSQL.back() = ' ';
        m_strSQL += " FROM ";
        m_strSQL += table;
    }
    if (!m_strWhere.empty()) {
        m_strSQL += " WHERE ";
        m_strSQL += m_strWhere;
    }
    if (!m_strOrderBy.empty()) {
        m_strSQL += " ORDER BY ";
        m_strSQL += m_strOrderBy;
    }
    if (m_bUpdatable || m_bAppendable) {
        const SQLUpdatability verdict = AnalyseUpdatability(m_strSQL);
        if (verdict.updatable) {
            m_strTableName = verdict.tableName;
        } else {
            if (verdict.warning) db_trace_category(traceDatabase, "%s", verdict.warning);
            m_bUpdatable = m_bAppendable = false;
        }
    }
    if (m_bUpdatable && m_bUpdateBySQL && m_pDatabase->m_bForUpdate) m_strSQL += " FOR UPDATE ";
    m_pDatabase->ReplaceQuoteBrackets(m_strSQL);
}

void CRecordset::PrepareAndExecute() {
    const bool direct = (m_dwOpenOptions & directExecute) != 0;
    // Parameters are bound before the statement runs, so a direct execution
    // sees them too.
    if (m_nParams > 0) BindParameters(false);
    SQLCHAR* text = reinterpret_cast<SQLCHAR*>(&m_strSQL[0]);
    SQLRETURN rc;
    for (;;) {
        do {
            rc =
                direct ? SQLExecDirect(m_hstmt, text, SQL_NTS) : SQLPrepare(m_hstmt, text, SQL_NTS);
        } while (rc == SQL_STILL_EXECUTING);
        if (CheckReturn(rc)) break;

        CDBException failure(rc);
        failure.CollectErrors(m_pDatabase, m_hstmt, true);
        if (m_dwLockKind == SQL_CONCUR_READ_ONLY || !failure.HasState("S1C00")) {
            db_trace("Error: ODBC failure on SQLPrepare or SQLExecDirect\n");
            throw failure;
        }
        db_trace_category(traceDatabase,
                          "Warning: Driver does not support requested concurrency.\n");
        if ((m_dwDriverLockKinds & SQL_SCCO_LOCK) &&
            (m_dwLockKind == SQL_CONCUR_ROWVER || m_dwLockKind == SQL_CONCUR_VALUES)) {
            m_dwLockKind = SQL_CONCUR_LOCK;
        } else {
            m_dwLockKind = SQL_CONCUR_READ_ONLY;
            m_bUpdatable = m_bAppendable = false;
            db_trace_category(traceDatabase, "Warning: Setting recordset read only.\n");
        }
        SQLRETURN rcOption = SQLSetStmtOption(m_hstmt, SQL_CONCURRENCY, m_dwLockKind);
        if (!CheckReturn(rcOption)) {
            db_trace("Error: ODBC failure setting recordset concurrency.\n");
            RaiseError(rcOption);
        }
    }
    if (!direct) {
        do {
            rc = SQLExecute(m_hstmt);
        } while (rc == SQL_STILL_EXECUTING);
        if (!CheckReturn(rc)) RaiseError(rc);
    }
    m_lOpen = 1;
    if (rc == SQL_SUCCESS_WITH_INFO) {
        SQLULEN concurrency = 0;
        SQLRETURN rcOption = SQLGetStmtOption(m_hstmt, SQL_CONCURRENCY, &concurrency);
        if (!CheckReturn(rcOption)) RaiseError(rcOption);
        if (concurrency == SQL_CONCUR_READ_ONLY && (m_bUpdatable || m_bAppendable)) {
            m_bUpdatable = m_bAppendable = false;
            db_trace_category(traceDatabase, "Warning: Concurrency changed by driver.\n");
            db_trace_category(traceDatabase, "\tMarking CRecordset as not updatable.\n");
        }
    }
}

void CRecordset::DescribeResultColumns() {
    SQLRETURN rc;
    do {
        rc = SQLNumResultCols(m_hstmt, &m_nResultColumns);
    } while (rc == SQL_STILL_EXECUTING);
    if (!CheckReturn(rc)) {
        db_trace("Error: Can't get field info.\n");
        RaiseError(rc);
    }
    if (m_nResultColumns <= 0) return;

    m_columnDescriptions.assign(static_cast<std::size_t>(m_nResultColumns), ColumnDescription());
    // One name buffer serves every column: a catalog result has a dozen or
    // more, and each name is short enough to live in its string without a
    // heap block of its own.
    std::vector<char> name(65, '\0');
    for (SQLSMALLINT column = 1; column <= m_nResultColumns; ++column) {
        ColumnDescription& d = m_columnDescriptions[static_cast<std::size_t>(column - 1)];
        SQLSMALLINT nameLength = 0;
        SQLSMALLINT bufferLength = 64;
        for (;;) {
            do {
                rc = SQLDescribeCol(m_hstmt, static_cast<SQLUSMALLINT>(column),
                                    reinterpret_cast<SQLCHAR*>(name.data()), bufferLength,
                                    &nameLength, &d.m_nSqlType, &d.m_nColumnSize,
                                    &d.m_nDecimalDigits, &d.m_nNullFlag);
            } while (rc == SQL_STILL_EXECUTING);
            if (!CheckReturn(rc)) {
                db_trace("Error: ODBC failure getting field #%d info.\n", static_cast<int>(column));
                RaiseError(rc);
            }
            // A name longer than the buffer is asked for again whole, so that a
            // lookup by name never meets a cut name.
            if (nameLength < bufferLength || bufferLength >= 0x7FFF - 1) break;
            bufferLength = static_cast<SQLSMALLINT>(std::min<int>(nameLength + 1, 0x7FFF - 1));
            name.assign(static_cast<std::size_t>(bufferLength) + 1, '\0');
        }
        const std::size_t length =
            std::min<std::size_t>(static_cast<std::size_t>(std::max<SQLSMALLINT>(nameLength, 0)),
                                  static_cast<std::size_t>(bufferLength - 1));
        d.m_strResultName.assign(name.data(), strnlen(name.data(), length));
    }
}

void CRecordset::AllocateRowset() {
    m_rowStatusArray.assign(1, 0);
    m_dwRowsetLength = 1;
}

// ---------------------------------------------------------------- exchange passes

unsigned CRecordset::RunExchange(unsigned nOperation) {
    FieldExchange fx(nOperation, this);
    fx.m_hstmt = m_hstmt;
    if (nOperation == FieldExchange::ListNames) {
        fx.m_pText = &m_strSQL;
        fx.m_pszSeparator = ",";
    }
    ExchangeFields(&fx);
    return fx.m_nFields;
}

void CRecordset::BindParameters(bool bRebind) {
    AllocateStatusArrays();
    FieldExchange fx(bRebind ? FieldExchange::RebindParameter : FieldExchange::BindParameter, this);
    fx.m_hstmt = m_hstmt;
    ExchangeFields(&fx);
    // A marker without a value would be executed as whatever the buffer last
    // held; a miscount is a fault of the subclass and stops the execution.
    if (fx.m_nParams != m_nParams)
        throw std::logic_error("recordset parameter count does not match m_nParams");
}

void CRecordset::ExchangeFields(FieldExchange* /*pFX*/) {}

// ---------------------------------------------------------------- moving

void CRecordset::Move(long nRows, SQLUSMALLINT wFetchType) {
    if (m_nFieldsBound == 0) {
        InitRecord();
        ResetCursor();
    }
    if (m_nFieldsBound > 0) {
        std::fill(m_fieldFlags.begin(), m_fieldFlags.end(), 0);
        m_nEditMode = notEditing;
    }
    CheckMove(nRows, wFetchType);
    SQLRETURN rc = Fetch(nRows, wFetchType);
    UpdateRowStatus(rc, wFetchType, nRows, m_dwFetchedRows);
    if (m_nFields > 0 && !AtEnd() && !AtStart()) RunExchange(FieldExchange::FixupAfterFetch);
}

void CRecordset::InitRecord() {
    if (m_nFields > 0) {
        AllocateStatusArrays();
        m_nFieldsBound = static_cast<int>(RunExchange(FieldExchange::BindColumn));
        if (m_bCacheForChangeCheck) RunExchange(FieldExchange::AllocateFieldCache);
    } else {
        m_nFieldsBound = -1;
    }
}

void CRecordset::ResetCursor() {
    m_bEOF = m_bBOF = m_bEndSeen = m_bDeleted = false;
    m_lCurrentRow = currentRecordBOF;
    m_lRowsSeen = 0;
}

void CRecordset::CheckMove(long nRows, SQLUSMALLINT wFetchType) {
    if (!m_bScrollable && wFetchType != SQL_FETCH_NEXT) {
        db_trace("Error: forward-only recordsets only support MoveNext.\n");
        RaiseError(DBERR_FORWARD_ONLY);
    }
    if (AtEnd() && AtStart()) {
        db_trace("Error: attempted to position cursor on empty recordset.\n");
        RaiseError(DBERR_NO_DATA);
    }
    if (m_nOpenType == dynamicCursor) return;
    if (AtEnd() &&
        (wFetchType == SQL_FETCH_NEXT || (wFetchType == SQL_FETCH_RELATIVE && nRows > 0))) {
        db_trace("Error: attempted to move past EOF.\n");
        RaiseError(DBERR_NO_DATA);
    }
    if (AtStart() &&
        (wFetchType == SQL_FETCH_PRIOR || (wFetchType == SQL_FETCH_RELATIVE && nRows < 0))) {
        db_trace("Error: attempted to move before BOF.\n");
        RaiseError(DBERR_NO_DATA);
    }
}

SQLRETURN CRecordset::Fetch(long nRows, SQLUSMALLINT wFetchType) {
    SQLRETURN rc;
    if (m_nOpenType != forwardOnly || (m_dwOpenOptions & extendedFetch)) {
        if (m_rowStatusArray.empty()) m_rowStatusArray.assign(1, 0);
        do {
            rc = SQLExtendedFetch(m_hstmt, wFetchType, nRows, &m_dwFetchedRows,
                                  m_rowStatusArray.data());
        } while (rc == SQL_STILL_EXECUTING);
        m_bDeleted = m_rowStatusArray[0] == SQL_ROW_DELETED;
    } else {
        do {
            rc = SQLFetch(m_hstmt);
        } while (rc == SQL_STILL_EXECUTING);
        m_dwFetchedRows = 1;
        m_bDeleted = false;
    }
    CheckFetchResult(rc);
    return rc;
}

void CRecordset::CheckFetchResult(SQLRETURN nRetCode) {
    if (nRetCode == SQL_SUCCESS_WITH_INFO) {
        CDBException info(nRetCode);
        info.CollectErrors(m_pDatabase, m_hstmt, false);
        if (info.HasState("01004")) {
            if (!((m_pDatabase->m_dwUpdateCaps & 0x1) && m_bHasLongDataColumns)) {
                db_trace("Error: field data truncated during data fetch.\n");
                RaiseError(DBERR_DATA_TRUNCATED);
            }
        } else if (info.HasState("01S01")) {
            db_trace("Error: fetching row from server.\n");
            TraceWrapped(info.m_strErrorText);
            TraceWrapped(info.m_strStateText);
            RaiseError(DBERR_ROW_FETCH);
        } else if (trace_category_on(traceDatabase)) {
            db_trace("Warning: ODBC Success With Info,\n");
            TraceWrapped(info.m_strErrorText);
            TraceWrapped(info.m_strStateText);
        }
    } else if (!CheckReturn(nRetCode)) {
        RaiseError(nRetCode);
    }
}

void CRecordset::UpdateRowStatus(SQLRETURN nRetCode, SQLUSMALLINT wFetchType, long nRows,
                                 SQLULEN /*dwRowsFetched*/) {
    const bool noData = nRetCode == SQL_NO_DATA_FOUND;
    auto advance = [&] {
        if (m_lCurrentRow != currentRecordUndefined && !noData) m_lCurrentRow += nRows;
    };
    auto raiseCount = [&] {
        if (!noData && !m_bEndSeen && m_lCurrentRow != currentRecordUndefined &&
            m_lCurrentRow + 1 > m_lRowsSeen)
            m_lRowsSeen = m_lCurrentRow + 1;
    };
    long direction = 0;
    switch (wFetchType) {
    case SQL_FETCH_NEXT:
        direction = 1;
        advance();
        raiseCount();
        if (!m_bEndSeen && noData && m_lRowsSeen == m_lCurrentRow + 1) m_bEndSeen = true;
        break;
    case SQL_FETCH_FIRST:
        direction = 1;
        if (noData) {
            m_lCurrentRow = currentRecordUndefined;
            m_lRowsSeen = 0;
        } else {
            m_lCurrentRow = 0;
        }
        break;
    case SQL_FETCH_LAST:
        direction = -1;
        if (noData) {
            m_lCurrentRow = currentRecordUndefined;
            m_lRowsSeen = 0;
        } else {
            m_lCurrentRow = m_bEndSeen ? m_lRowsSeen - 1 : currentRecordUndefined;
        }
        break;
    case SQL_FETCH_PRIOR:
        direction = -1;
        if (!m_bEOF) advance();
        break;
    case SQL_FETCH_ABSOLUTE:
        direction = nRows;
        if (noData)
            m_lCurrentRow = currentRecordUndefined;
        else if (nRows > 0)
            m_lCurrentRow = nRows - 1;
        else
            m_lCurrentRow = m_bEndSeen ? m_lRowsSeen + nRows : currentRecordUndefined;
        raiseCount();
        break;
    case SQL_FETCH_RELATIVE:
        direction = nRows;
        advance();
        raiseCount();
        break;
    case SQL_FETCH_BOOKMARK:
        direction = 0;
        m_lCurrentRow = currentRecordUndefined;
        break;
    default:
        break;
    }
    if (!noData) {
        m_bBOF = m_bEOF = false;
    } else if (wFetchType == SQL_FETCH_FIRST || wFetchType == SQL_FETCH_LAST ||
               wFetchType == SQL_FETCH_BOOKMARK) {
        m_bBOF = m_bEOF = true;
    } else {
        m_bEOF = direction >= 0;
        m_bBOF = !m_bEOF;
    }
}

bool CRecordset::IsOpen() {
    if (m_hstmt == SQL_NULL_HSTMT) return false;
    if (m_lOpen == 1) return true;
    SQLSMALLINT columns = 0;
    SQLRETURN rc;
    do {
        rc = SQLNumResultCols(m_hstmt, &columns);
    } while (rc == SQL_STILL_EXECUTING);
    if (CheckReturn(rc)) return columns != 0;
    CDBException failure(rc);
    failure.CollectErrors(m_pDatabase, m_hstmt, false);
    if (failure.HasState("S1010")) return false;
    db_trace("Error: SQLNumResultCols failed during IsOpen().\n");
    TraceWrapped(failure.m_strErrorText);
    TraceWrapped(failure.m_strStateText);
    throw failure;
}

void CRecordset::SetQueryTimeout(unsigned seconds) {
    if (m_hstmt != SQL_NULL_HSTMT) SQLSetStmtOption(m_hstmt, SQL_QUERY_TIMEOUT, seconds);
}

unsigned char CRecordset::FieldStatus(unsigned nField) const {
    return nField < m_fieldFlags.size() ? m_fieldFlags[nField] : 0;
}

// ---------------------------------------------------------------- requery, close

bool CRecordset::Requery() {
    if (m_dwOpenOptions & directExecute) return false;
    try {
        if (m_strWhere != m_strRequeryWhere || m_strOrderBy != m_strRequeryOrder) {
            m_strRequeryWhere = m_strWhere;
            m_strRequeryOrder = m_strOrderBy;
            Close();
            const std::string statement = m_strRequeryStatement;
            return Open(static_cast<int>(m_nOpenType),
                        statement.empty() ? nullptr : statement.c_str(), m_dwOpenOptions);
        }
        SQLFreeStmt(m_hstmt, SQL_CLOSE);
        m_lOpen = 0;
        // The values of the parameters are taken afresh at every execution; the
        // bindings themselves stay unless a value outgrew its buffer.
        if (m_nParams > 0) BindParameters(true);
        SQLRETURN rc;
        do {
            rc = SQLExecute(m_hstmt);
        } while (rc == SQL_STILL_EXECUTING);
        if (!CheckReturn(rc)) {
            db_trace("Error: Requery attempt failed.\n");
            RaiseError(rc);
        }
        m_lOpen = 1;
        ResetCursor();
        MoveNext();
        m_bBOF = m_bEOF;
        return true;
    } catch (...) {
        Close();
        throw;
    }
}

void CRecordset::Close() { CloseBase(); }

void CRecordset::CloseBase() {
    m_strCursorName.clear();
    if (!m_fieldStates.empty() && m_nFields > 0 && m_bCacheForChangeCheck) FreeFieldCaches();
    m_nEditMode = notEditing;
    // The statement goes first: while it holds bindings, the buffers it points
    // into must stay.
    if (m_hstmt != SQL_NULL_HSTMT) {
        SQLFreeStmt(m_hstmt, SQL_DROP);
        m_hstmt = SQL_NULL_HSTMT;
    }
    if (m_hstmtUpdate != SQL_NULL_HSTMT) {
        SQLFreeStmt(m_hstmtUpdate, SQL_DROP);
        m_hstmtUpdate = SQL_NULL_HSTMT;
    }
    m_rowStatusArray.clear();
    m_spareFieldStates = std::move(m_fieldStates);
    m_fieldStates.clear();
    m_columnDescriptions.clear();
    m_fieldFlags.clear();
    m_paramFlags.clear();
    m_spareParamBuffers = std::move(m_paramBuffers);
    m_paramBuffers.clear();
    m_paramLengths.clear();
    m_fieldIndexMap.clear();
    m_paramIndexMap.clear();
    RemoveFromConnection();
    m_lOpen = 0;
    m_bBOF = m_bEOF = true;
    m_bDeleted = m_bAppendable = m_bUpdatable = m_bScrollable = false;
    m_bRebindParameters = m_bHasLongDataColumns = false;
    m_bLockMode = lockOptimistic;
    m_nFieldsBound = 0;
    m_nResultColumns = -1;
}

void CRecordset::FreeFieldCaches() {
    for (FieldState& state : m_fieldStates) {
        state.m_pCache.reset();
        state.m_lCacheValue = 0;
    }
}

// ---------------------------------------------------------------- errors

bool CRecordset::CheckReturn(SQLRETURN nRetCode) {
    switch (nRetCode) {
    case SQL_SUCCESS:
    case SQL_NEED_DATA:
    case SQL_NO_DATA_FOUND:
        return true;
    case SQL_SUCCESS_WITH_INFO:
        TraceSuccessWithInfo(m_pDatabase, m_hstmt);
        return true;
    default:
        return false;
    }
}

void CRecordset::RaiseError(SQLRETURN nRetCode, SQLHSTMT hstmt) {
    RaiseDBException(nRetCode, m_pDatabase, hstmt != SQL_NULL_HSTMT ? hstmt : m_hstmt);
}
