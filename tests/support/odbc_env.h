// A private ODBC world for one test: a temporary directory with its own
// SQLite database file and odbc.ini, plus an odbcinst.ini naming the SQLite
// driver, so that no test depends on how the machine's ODBC is configured.
//
// child_environment() points a child process at the directory's odbc.ini.
// Inside this process the driver manager fixes its ini files at first use
// and caches what it read, so all odbc_env objects of a process share one
// odbcinst.ini and one odbc.ini (ODBCSYSINI/ODBCINI) that live until the
// process ends, each environment adding its data sources under new names.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

// A transaction of a connection of its own, held open (what it wrote
// locked) until it is committed; rolled back when dropped uncommitted.
class held_transaction {
public:
    virtual ~held_transaction() = default;
    virtual void commit() = 0;
};

class odbc_env {
public:
    static constexpr const char* kDriverName = "SQLite3";
    static constexpr const char* kDriverLibrary =
        "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so";

    // Makes the directory, the (empty) database file "test.db" and a DSN
    // named dsn for it; points ODBCSYSINI/ODBCINI of the process at it.
    // Without a name each environment gets a new one ("quillmar_test_<n>"):
    // the driver manager's ini library caches what it read, so a name used
    // again in the same process could find an old database.
    explicit odbc_env(const std::string& dsn = "");
    // Removes the directory and restores the previous ODBCSYSINI/ODBCINI.
    ~odbc_env();
    odbc_env(const odbc_env&) = delete;
    odbc_env& operator=(const odbc_env&) = delete;

    const std::string& dir() const { return dir_; }
    const std::string& db_path() const { return db_path_; }
    const std::string& dsn() const { return dsn_; }
    // "DSN=<dsn>;"
    std::string connect_string() const { return "DSN=" + dsn_ + ";"; }
    // {"ODBCSYSINI=<dir>", "ODBCINI=<dir>/odbc.ini"} for a child process.
    std::vector<std::string> child_environment() const;

    // Adds another data source, e.g. one whose driver library is missing.
    // An empty database means the DSN names none. Use a name not used before
    // in this process.
    void add_dsn(const std::string& name, const std::string& driver,
                 const std::string& database = "");
    // Puts a data source of any driver under name, replacing one of the same
    // name made by this environment (e.g. "quillmar" aimed at a server).
    void set_dsn(const std::string& name,
                 const std::vector<std::pair<std::string, std::string>>& settings);
    // Adds another driver entry to the shared odbcinst.ini; use a name of
    // your own, since the driver manager caches what it has read.
    void add_driver(const std::string& name, const std::string& library);
    // Switches the driver manager's own call trace on, written to file; it
    // shows every ODBC call the code under test makes. Takes effect for a
    // child process, and in this process only if the driver manager has not
    // read its settings yet.
    void enable_dm_trace(const std::string& file);

    // Runs SQL directly on the database file (not through ODBC), so that
    // test tables are made independently of the code under test. Several
    // statements separated by ";" are allowed. Throws std::runtime_error
    // with SQLite's message on failure.
    void exec(const std::string& sql) const;
    // Runs a query and returns its rows, NULL as nullopt.
    std::vector<std::vector<std::optional<std::string>>> query(const std::string& sql) const;

    // Holds the database file as another process's BEGIN EXCLUSIVE does,
    // until the returned handle is dropped.
    std::shared_ptr<void> lock_exclusive() const;

    // Runs statements in a transaction (BEGIN IMMEDIATE) of a connection of
    // its own and holds it open, the file locked for other writers, until
    // it is committed.
    std::unique_ptr<held_transaction> hold_transaction(const std::string& sql) const;

    // Writes a file in the directory (e.g. an ini file for the program).
    std::string write_file(const std::string& name, const std::string& text) const;

private:
    void write_ini_files();

    std::string dir_, db_path_, dsn_;
    std::vector<std::pair<std::string, std::string>> sections_;  // name, odbc.ini section
    std::vector<std::string> names_;
    std::optional<std::string> old_sysini_, old_ini_;
};
