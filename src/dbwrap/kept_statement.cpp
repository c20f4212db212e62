#include "dbwrap/kept_statement.h"

#include "config/log.h"
#include "dbwrap/db_connection.h"
#include "dbwrap/db_objects.h"

bool kept_statement::shape::matches(const query_parts& parts) const {
    return parts.has_filter == has_filter && parts.table == table && parts.filter == filter &&
           parts.names == names;
}

kept_statement::shape kept_statement::shape_of(const query_parts& parts) {
    return shape{parts.names, parts.table, parts.filter, parts.has_filter};
}

void kept_statement::switch_on(bool on) {
    on_ = on;
    forget();
}

void kept_statement::forget() {
    checked_.clear();
    kept_ = false;
}

void kept_statement::drop() {
    if (kept_) db_discard_row();
    forget();
}

bool kept_statement::checked(const query_parts& parts) const {
    for (const shape& s : checked_)
        if (s.matches(parts)) return true;
    return false;
}

query_outcome kept_statement::query(const query_parts& parts,
                                    const std::vector<std::string>& parameters) {
    if (kept_ && kept_shape_.matches(parts) && kept_parameters_ == parameters.size()) {
        // A table changed under the kept statement is not reported from
        // here: the query runs afresh below, catalog check included, so that
        // the answer and the error lines are those of a fresh query. Any
        // other failure (a timeout is no changed table, a connection that
        // went away serves no fresh query) goes to the caller as it is.
        try {
            return query_kept(parts, parameters);
        } catch (const CDBException& error) {
            const db_failure failure = db_failure_of(error);
            if (failure != db_failure::statement && failure != db_failure::value) throw;
        }
        debug_log("Kept statement failed, querying afresh");
        drop();
    } else if (kept_) {
        kept_ = false;
        db_close_row();
    }
    query_outcome outcome = query_afresh(parts, parameters);
    if (outcome != query_outcome::found && !kept_) forget();
    return outcome;
}

// The new values go into the bound parameters in place and the prepared
// statement is executed once; the columns stay bound.
query_outcome kept_statement::query_kept(const query_parts& parts,
                                         const std::vector<std::string>& parameters) {
    fit_waits_to_deadline();
    row_recordset.SetParameterValues(parameters);
    set_filter(parts);
    debug_log("isopen check");
    debug_log("restart check");
    debug_log("do requery");
    // Requery refuses only a recordset opened for direct execution, which
    // this one never is.
    row_recordset.Requery();
    debug_log("Requery success, initial record count = (%d)\n",
              static_cast<int>(row_recordset.RecordsSeen()));
    walked_valid_ = true;
    return read_rows(&walked_);
}

// The recordset is closed here: a statement of another shape was closed
// above, and every command's end closes one that is not kept.
query_outcome kept_statement::query_afresh(const query_parts& parts,
                                           const std::vector<std::string>& parameters) {
    if (!checked(parts)) {
        if (!columns_in_catalog(parts)) return query_outcome::failed;
        if (checked_.size() >= max_shapes) checked_.clear();
        checked_.push_back(shape_of(parts));
    }
    if (!add_columns(parts, parameters)) return query_outcome::failed;
    set_filter(parts);
    debug_log("isopen check");
    // The authenticator never writes through the recordset: it is opened
    // read-only (no row versions for psqlODBC to fetch) and forward-only (a
    // scrollable cursor makes psqlODBC put the values into the statement
    // text and send it whole each time, where a forward-only one keeps a
    // prepared statement on the server).
    if (!open_table(parts, CRecordset::forwardOnly, CRecordset::readOnly))
        return query_outcome::failed;
    kept_ = true;
    kept_shape_ = shape_of(parts);
    kept_parameters_ = parameters.size();
    // The open has executed the statement with these very values; it is not
    // executed a second time.
    walked_valid_ = true;
    return read_rows(&walked_);
}
