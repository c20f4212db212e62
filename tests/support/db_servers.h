// The private PostgreSQL and MariaDB servers that scripts/db-servers.sh
// starts for a test run, and scratch databases on them: each test gets a
// database of its own, made and filled through the servers' own clients so
// that no table depends on the code under test.
#pragma once

#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "support/child_process.h"
#include "support/odbc_env.h"

namespace qmtest {

enum class db_kind { sqlite, postgres, mariadb };
const char* db_kind_name(db_kind kind);
// Test names show the database by name.
inline void PrintTo(db_kind kind, std::ostream* out) { *out << db_kind_name(kind); }

using server_settings = std::map<std::string, std::string>;

// The KEY=VALUE lines of the servers file: the given path, else the one
// named by QM_DB_SERVERS_ENV. Empty when there is none.
server_settings read_servers_env(const std::string& path = "");
// Whether the settings name a server of this kind (SQLite needs none).
bool has_server(db_kind kind, const server_settings& servers);
// The test command sets QM_REQUIRE_DB_SERVERS=1: a missing server is then a
// failure, not a reason to skip.
bool servers_required();
// The second server of a pair (QM_PG2_*, QM_MARIADB2_*) under the names of
// the first, for a server_database there.
// A further server ("3": QM_PG3_*) the same way.
server_settings second_server(const server_settings& servers, const std::string& n = "2");

// One scratch database on a running server, dropped again at destruction.
class server_database {
public:
    server_database(db_kind kind, server_settings servers);
    // The database of that name made elsewhere, such as the copy a replica
    // holds; it is left in place at destruction.
    server_database(db_kind kind, server_settings servers, std::string existing);
    ~server_database();
    server_database(const server_database&) = delete;
    server_database& operator=(const server_database&) = delete;

    // Runs statements (";"-separated) in the database. Names in brackets,
    // [user], become the server's quoted names; backslashes in literals are
    // plain characters on both servers. Throws std::runtime_error on failure.
    void exec(const std::string& sql) const;
    // Runs statements in a transaction of a connection of its own and holds
    // it open, the rows they wrote locked, until it is committed.
    std::unique_ptr<held_transaction> hold_transaction(const std::string& sql) const;
    // Rows of a query, tab-separated columns split.
    std::vector<std::vector<std::string>> query(const std::string& sql) const;
    // The odbc.ini settings of a data source for this database.
    std::vector<std::pair<std::string, std::string>> dsn_settings() const;
    const std::string& name() const { return name_; }

private:
    // The server's client on the database: its program, and its arguments
    // and environment in o; then the input that runs the statements.
    std::string client(const std::string& database, child_options& o) const;
    std::string client_input(const std::string& sql) const;
    std::string run(const std::string& database, const std::string& sql) const;

    db_kind kind_;
    server_settings servers_;
    std::string name_;
    bool owned_ = true;
};

// Runs the servers script (scripts/db-servers.sh) with the arguments; true
// when it succeeded.
bool run_db_servers_script(const std::string& script, const std::vector<std::string>& args);

}  // namespace qmtest
