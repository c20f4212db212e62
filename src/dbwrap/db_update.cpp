#include "dbwrap/db_update.h"

#include <algorithm>

#include "config/log.h"
#include "dbwrap/db_objects.h"

namespace {

// A statement handle of its own on the connection, freed however the
// update ends; the user-table recordset keeps its statement meanwhile.
class update_statement {
public:
    explicit update_statement(CDatabase& database) : database_(database) {
        SQLRETURN rc = SQLAllocStmt(database_.m_hdbc, &handle_);
        if (!database_.CheckReturn(rc)) {
            handle_ = SQL_NULL_HSTMT;
            RaiseDBException(rc, &database_);
        }
        // The connection's query timeout bounds a write as it bounds a read.
        database_.ApplyStatementOptions(handle_);
    }
    ~update_statement() { SQLFreeStmt(handle_, SQL_DROP); }
    update_statement(const update_statement&) = delete;
    update_statement& operator=(const update_statement&) = delete;

    void check(SQLRETURN rc) {
        if (!CheckReturnOnStatement(&database_, rc, handle_))
            RaiseDBException(rc, &database_, handle_);
    }
    SQLHSTMT handle() const { return handle_; }

private:
    CDatabase& database_;
    SQLHSTMT handle_ = SQL_NULL_HSTMT;
};

}  // namespace

update_outcome db_update(const std::string& statement, const std::vector<std::string>& parameters) {
    if (!odbc_connection.IsOpen()) {
        error_log("FATAL: Database is not yet open.");
        return update_outcome::failed;
    }
    std::string text = statement;
    odbc_connection.ReplaceQuoteBrackets(text);
    try {
        update_statement update(odbc_connection);
        // The lengths stay where they are bound until the statement is freed.
        std::vector<SQLLEN> lengths(parameters.size());
        for (std::size_t i = 0; i < parameters.size(); ++i) {
            const std::string& value = parameters[i];
            lengths[i] = static_cast<SQLLEN>(value.size());
            update.check(
                SQLBindParameter(update.handle(), static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT,
                                 SQL_C_CHAR, SQL_VARCHAR, std::max<SQLULEN>(value.size(), 1), 0,
                                 const_cast<char*>(value.data()), lengths[i], &lengths[i]));
        }
        std::vector<SQLCHAR> sql(text.begin(), text.end());
        sql.push_back('\0');
        update.check(SQLExecDirect(update.handle(), sql.data(), SQL_NTS));
        SQLLEN rows = 0;
        update.check(SQLRowCount(update.handle(), &rows));
        return rows > 0 ? update_outcome::written : update_outcome::no_row;
    } catch (const CDBException& error) {
        log_db_exception("writing", error, parameters);
    } catch (...) {
        log_layer_fault("writing");
    }
    return update_outcome::failed;
}

std::size_t db_value_room(std::size_t position) {
    std::size_t room = CRow::kTextLength;
    if (!row_recordset.HoldsStatement() || position >= row_recordset.m_columnDescriptions.size())
        return room;
    SQLULEN declared = row_recordset.m_columnDescriptions[position].m_nColumnSize;
    // A size of 0 is a driver that does not know it.
    if (declared > 0 && declared < room) room = static_cast<std::size_t>(declared);
    return room;
}
