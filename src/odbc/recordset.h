// The result-set class of the ODBC class layer: one CRecordset owns one
// statement on a connection, builds or takes its SELECT, executes it with the
// parameters bound, binds the subclass's fields and moves a one-row cursor.
// Subclasses give the field count and ExchangeFields (field_exchange.h).
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "odbc/sql_text.h"

class CDatabase;
class CDBVariant;
class FieldExchange;

// One result column as SQLDescribeCol described it.
struct ColumnDescription {
    std::string m_strResultName;
    SQLSMALLINT m_nSqlType = 0;
    SQLULEN m_nColumnSize = 0;
    SQLSMALLINT m_nDecimalDigits = 0;
    SQLSMALLINT m_nNullFlag = 0;
};

// Per bound output field: the length/indicator bound with the column, the
// buffer the driver writes into, and the dirty-field cache.
struct FieldState {
    std::unique_ptr<std::string> m_pCache;  // text cache (cache type 10)
    long m_lCacheValue = 0;                 // int and long caches (types 3, 4)
    SQLLEN m_nLengthIndicator = 0;
    unsigned m_nCacheType = 0;
    unsigned char m_bFieldStatus = 0;
    void* m_pBindAddress = nullptr;
    std::vector<char> m_proxy;  // bound buffer; its address stays put until Close
};

// A bound member's address -> its 1-based field or parameter number. It is
// filled afresh at every open with a few dozen entries at most, so a flat
// list searched in order costs less than a tree node allocated per field.
class FieldIndexMap {
public:
    unsigned& operator[](const void* key) {
        for (auto& entry : m_entries)
            if (entry.first == key) return entry.second;
        if (m_entries.empty()) m_entries.reserve(16);
        m_entries.emplace_back(key, 0u);
        return m_entries.back().second;
    }
    // Throws std::out_of_range for an address that was never bound.
    unsigned at(const void* key) const {
        for (const auto& entry : m_entries)
            if (entry.first == key) return entry.second;
        throw std::out_of_range("FieldIndexMap::at");
    }
    std::size_t erase(const void* key) {
        for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
            if (it->first == key) {
                m_entries.erase(it);
                return 1;
            }
        }
        return 0;
    }
    void clear() { m_entries.clear(); }
    std::size_t size() const { return m_entries.size(); }
    bool empty() const { return m_entries.empty(); }

private:
    std::vector<std::pair<const void*, unsigned>> m_entries;
};

class CRecordset {
public:
    // Open types.
    enum : unsigned { keysetCursor = 0, staticCursor = 1, forwardOnly = 2, dynamicCursor = 3 };
    // Open options.
    enum : std::uint32_t {
        none = 0x0000,
        readOnly = 0x0004,
        insertOnly = 0x0008,
        skipRemovedRows = 0x0010,
        noChangeCheck = 0x0020,
        withBookmarks = 0x0100,
        rowsetFetch = 0x0200,
        callerRowsetBuffers = 0x0400,
        extendedFetch = 0x0800,
        directExecute = 0x2000,
        fastBulkInsert = 0x4000,
    };
    enum : int { notEditing = 0 };
    enum : int { lockOptimistic = 0, lockPessimistic = 1 };
    // Field status bits.
    enum : unsigned char { fieldDirty = 0x01, fieldNull = 0x02 };
    static constexpr long currentRecordUndefined = -2;
    static constexpr long currentRecordBOF = -1;

    explicit CRecordset(CDatabase* pDatabase = nullptr);
    virtual ~CRecordset();
    CRecordset(const CRecordset&) = delete;
    CRecordset& operator=(const CRecordset&) = delete;

    virtual const char* RuntimeClassOf() const { return "CRecordset"; }
    virtual void CheckValid() const;
    // Diagnostic dump of the state and the current field values.
    virtual void Dump(std::ostream& dc, int nDepth = 0);

    // nOpenType -1 takes m_nDefaultOpenType; lpszSQL null takes
    // DefaultStatement. A text that does not begin with SELECT, "{" or "{CALL"
    // is a table name. Returns false only when no statement handle could be
    // had; every other failure throws CDBException with the recordset closed.
    virtual bool Open(int nOpenType = -1, const char* lpszSQL = nullptr,
                      std::uint32_t dwOptions = none);
    // Never fails on ODBC return codes; harmless on a closed recordset.
    virtual void Close();
    virtual void Move(long nRows, SQLUSMALLINT wFetchType);
    virtual void CheckFetchResult(SQLRETURN nRetCode);
    // With m_strWhere and m_strOrderBy as at Open: executes the prepared
    // statement again with the current parameter values. With either changed:
    // closes and opens again. False when opened with directExecute.
    virtual bool Requery();
    virtual std::string DefaultConnectString() { return "ODBC;"; }
    virtual std::string DefaultStatement() { return ""; }
    virtual void ApplyStatementOptions(SQLHSTMT hstmt);
    // Names every field in result-column order, then the parameters in the
    // order of the "?" markers. See field_exchange.h.
    virtual void ExchangeFields(FieldExchange* pFX);
    virtual bool CheckReturn(SQLRETURN nRetCode);
    virtual void UpdateRowStatus(SQLRETURN nRetCode, SQLUSMALLINT wFetchType, long nRows,
                                 SQLULEN dwRowsFetched);
    virtual void BeforeBinding() {}
    [[noreturn]] virtual void RaiseError(SQLRETURN nRetCode, SQLHSTMT hstmt = SQL_NULL_HSTMT);
    virtual long LongDataChunkSize(long nSize) { return nSize * 2; }
    virtual long LongDataGrowSize(long nSize) { return nSize * 2; }

    bool IsOpen();
    // Whether a statement handle is held: an open recordset, or one whose
    // open failed half-way and still needs its Close.
    bool HoldsStatement() const { return m_hstmt != SQL_NULL_HSTMT; }
    // The filter of the next Open or Requery (a Requery with a changed
    // filter opens afresh).
    void SetFilter(const std::string& where) { m_strWhere = where; }
    // Gives the statement held a new query timeout (seconds); a driver that
    // refuses it keeps the one it has.
    void SetQueryTimeout(unsigned seconds);
    // Binds a closed recordset to a connection again: closing the connection
    // detaches every recordset still on its list.
    void Reattach(CDatabase* pDatabase) { m_pDatabase = pDatabase; }
    void MoveNext() { Move(1, SQL_FETCH_NEXT); }
    void MoveBack() { Move(-1, SQL_FETCH_PRIOR); }
    void MoveToFirst() { Move(1, SQL_FETCH_FIRST); }
    void MoveToLast() { Move(-1, SQL_FETCH_LAST); }
    void MoveToRow(long nRow) { Move(nRow, SQL_FETCH_ABSOLUTE); }
    bool AtEnd() const { return m_bEOF; }
    bool AtStart() const { return m_bBOF; }
    long RecordsSeen() const { return m_lRowsSeen; }
    SQLSMALLINT ResultColumnCount() const { return m_nResultColumns; }
    bool AllowsRequery() const { return (m_dwOpenOptions & directExecute) == 0; }
    const std::string& StatementText() const { return m_strSQL; }
    const std::string& TableName() const { return m_strTableName; }
    bool RowDeleted() const { return m_bDeleted; }
    bool AllowsUpdate() const { return m_bUpdatable; }
    bool AllowsAppend() const { return m_bAppendable; }
    bool AllowsScroll() const { return m_bScrollable; }
    std::uint32_t RowsetLength() const { return m_dwRowsetLength; }
    SQLULEN RowsFetched() const { return m_dwFetchedRows; }
    // Status byte of a bound field (0-based): fieldDirty, fieldNull.
    unsigned char FieldStatus(unsigned nField) const;
    bool IsFieldNull(unsigned nField) const { return (FieldStatus(nField) & fieldNull) != 0; }

    // Reads column nIndex (0-based) of the current row with SQLGetData; a C
    // type of 0 lets the column's SQL type choose. Long values are read whole.
    void GetFieldValue(short nIndex, CDBVariant& varValue, short nFieldType = 0);
    // The same by column name (exact, case-sensitive; the first match wins).
    void GetFieldValue(const char* lpszName, CDBVariant& varValue, short nFieldType = 0);

    SQLHSTMT m_hstmt = SQL_NULL_HSTMT;
    CDatabase* m_pDatabase;
    std::string m_strWhere;
    std::string m_strOrderBy;
    unsigned m_nFields = 0;
    // Number of "?" markers; each is named as a parameter in ExchangeFields.
    unsigned m_nParams = 0;
    bool m_bCacheForChangeCheck = true;
    bool m_bRebindParameters = false;
    bool m_bHasLongDataColumns = false;
    bool m_bUpdateBySQL = false;
    std::uint32_t m_dwOpenOptions = 0;
    SQLSMALLINT m_nResultColumns = -1;
    bool m_bUseCursorLibrary = false;
    std::vector<ColumnDescription> m_columnDescriptions;
    std::vector<FieldState> m_fieldStates;
    FieldIndexMap m_fieldIndexMap;
    FieldIndexMap m_paramIndexMap;
    unsigned m_nOpenType = staticCursor;
    unsigned m_nDefaultOpenType = staticCursor;
    long m_lOpen = -1;
    int m_nEditMode = notEditing;
    bool m_bEndSeen = false;
    long m_lRowsSeen = 0;
    long m_lCurrentRow = currentRecordUndefined;
    std::string m_strCursorName;
    int m_bLockMode = lockOptimistic;
    std::uint32_t m_dwDriverLockKinds = 0;
    std::uint32_t m_dwLockKind = SQL_CONCUR_READ_ONLY;
    std::vector<SQLUSMALLINT> m_rowStatusArray;
    SQLULEN m_dwFetchedRows = 0;
    SQLHSTMT m_hstmtUpdate = SQL_NULL_HSTMT;
    bool m_bRecordsetDb = false;
    bool m_bBOF = true;
    bool m_bEOF = true;
    bool m_bUpdatable = false;
    bool m_bAppendable = false;
    bool m_bScrollable = false;
    bool m_bDeleted = false;
    std::string m_strSQL;
    int m_nFieldsBound = 0;
    std::vector<unsigned char> m_fieldFlags;
    std::vector<unsigned char> m_paramFlags;
    // Length/indicator of each parameter, bound with it; never resized while
    // the statement holds the bindings.
    std::vector<SQLLEN> m_paramLengths;
    // The buffer each parameter is bound from; enlarged (and rebound) only
    // when a new value does not fit.
    std::vector<std::vector<char>> m_paramBuffers;
    // The buffers of the last open, kept by Close for the next one: a
    // recordset opened once per command would otherwise allocate them anew
    // each time. Their contents are cleared; only their room is kept.
    // Measured (scripts/bench.sh, SQLite, pinned, 8 alternating runs):
    // without them the default check's median is 0.4 us (about 0.5%)
    // slower, and the checks as a whole no longer match the earlier build.
    std::vector<FieldState> m_spareFieldStates;
    std::vector<std::vector<char>> m_spareParamBuffers;
    std::uint32_t m_dwRowsetLength = 25;
    std::string m_strRequeryStatement;
    std::string m_strRequeryWhere;
    std::string m_strRequeryOrder;
    std::string m_strTableName;

protected:
    // The pieces of Open, for a subclass whose Open does not prepare a SELECT
    // (a catalog recordset): state set-up, statement handle, status arrays,
    // column description and the one-row rowset.
    void SetOpenState(int nOpenType, const char* lpszSQL, std::uint32_t dwOptions);
    bool ObtainStatementHandle();
    void AllocateStatusArrays();
    void DescribeResultColumns();
    void AllocateRowset();
    // Runs ExchangeFields with one operation; returns the pass's field count.
    unsigned RunExchange(unsigned nOperation);
    // Binds every parameter (BindParameter) or refreshes the bound values
    // from the members (RebindParameter).
    void BindParameters(bool bRebind);

private:
    friend class FieldExchange;
    friend void ExchangeText(FieldExchange*, const char*, std::string&, int, int, short);
    friend void ExchangeInt(FieldExchange*, const char*, int&);
    friend void ExchangeLong(FieldExchange*, const char*, long&);

    void BuildSQL(const char* lpszSQL);
    void PrepareAndExecute();
    void InitRecord();
    void ResetCursor();
    void CheckMove(long nRows, SQLUSMALLINT wFetchType);
    SQLRETURN Fetch(long nRows, SQLUSMALLINT wFetchType);
    void FreeFieldCaches();
    void AddToConnection();
    void RemoveFromConnection();
    void CloseBase();

    // The connection this recordset made for itself (m_bRecordsetDb).
    std::unique_ptr<CDatabase> m_ownedDatabase;
};
