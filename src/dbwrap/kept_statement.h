// The fast path (ini key odbc_fast_path): what it keeps from one command to
// the next and the query it runs on it. It remembers the statement shapes
// whose columns the catalog confirmed, keeps the user-table recordset open
// on the prepared statement of the last shape, and keeps the first row and
// the row count of each result, since its cursor cannot scroll back.
// Measured (scripts/bench.sh, pinned): a check costs 0.15 of the default
// way's on SQLite (11.8 against 77.7 us median) and 0.03 on PostgreSQL
// (25.0 against 737 us).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "dbwrap/query_steps.h"

class kept_statement {
public:
    // Switching either way forgets every shape; a statement still kept must
    // be dropped first.
    void switch_on(bool on);
    bool on() const { return on_; }

    // The query of one command, on the kept statement when it has the
    // command's shape, afresh otherwise. An error of the class layer on a
    // fresh query is thrown on, for the caller's reconnection.
    query_outcome query(const query_parts& parts, const std::vector<std::string>& parameters);

    // The result the last query walked, or null when no query walked one
    // since start_query.
    const walked_result* walked() const { return walked_valid_ ? &walked_ : nullptr; }
    void start_query() { walked_valid_ = false; }

    // Whether the recordset stays open for the next command.
    bool keeps_statement() const { return kept_; }
    // After any failure the next query is checked and prepared afresh.
    void forget();
    // Forgets everything and closes a kept recordset without a log line:
    // closing it is the fast path's own housekeeping, not a step of a query.
    void drop();

    // At most this many shapes are remembered: statements built from
    // settings have a few shapes at most, and the list stays short whatever
    // a caller sends.
    static constexpr std::size_t max_shapes = 8;

private:
    // What the catalog check and the prepared statement depend on; the
    // values bound to the markers are not part of it.
    struct shape {
        std::vector<std::string> names;
        std::string table, filter;
        bool has_filter = false;

        bool matches(const query_parts& parts) const;
    };

    query_outcome query_kept(const query_parts& parts, const std::vector<std::string>& parameters);
    query_outcome query_afresh(const query_parts& parts,
                               const std::vector<std::string>& parameters);
    bool checked(const query_parts& parts) const;
    static shape shape_of(const query_parts& parts);

    bool on_ = false;
    std::vector<shape> checked_;
    bool kept_ = false;
    shape kept_shape_;
    std::size_t kept_parameters_ = 0;
    walked_result walked_;
    bool walked_valid_ = false;
};
