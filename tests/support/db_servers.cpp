#include "support/db_servers.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/child_process.h"

namespace qmtest {

namespace {

const char* const kPgDriver = "/usr/lib/x86_64-linux-gnu/odbc/psqlodbca.so";
const char* const kMariaDriver = "/usr/lib/x86_64-linux-gnu/odbc/libmaodbc.so";

std::string setting(const server_settings& servers, const std::string& key) {
    auto it = servers.find(key);
    if (it == servers.end()) throw std::runtime_error("servers file lacks " + key);
    return it->second;
}

std::string quote_brackets(const std::string& sql, char quote) {
    std::string out;
    bool literal = false;
    for (char c : sql) {
        if (c == '\'') literal = !literal;
        out += (!literal && (c == '[' || c == ']')) ? quote : c;
    }
    return out;
}

}  // namespace

const char* db_kind_name(db_kind kind) {
    switch (kind) {
    case db_kind::sqlite:
        return "SQLite";
    case db_kind::postgres:
        return "PostgreSQL";
    case db_kind::mariadb:
        return "MariaDB";
    }
    return "?";
}

server_settings read_servers_env(const std::string& path) {
    std::string file = path;
    if (file.empty()) {
        const char* named = std::getenv("QM_DB_SERVERS_ENV");
        if (!named) return {};
        file = named;
    }
    server_settings out;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        std::size_t eq = line.find('=');
        if (eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return out;
}

bool has_server(db_kind kind, const server_settings& servers) {
    switch (kind) {
    case db_kind::sqlite:
        return true;
    case db_kind::postgres:
        return servers.count("QM_PG_PORT") != 0;
    case db_kind::mariadb:
        return servers.count("QM_MARIADB_PORT") != 0;
    }
    return false;
}

bool servers_required() {
    const char* v = std::getenv("QM_REQUIRE_DB_SERVERS");
    return v && std::string(v) == "1";
}

server_settings second_server(const server_settings& servers, const std::string& n) {
    server_settings out = servers;
    for (const char* key :
         {"QM_PG_PORT", "QM_PG_SOCKET_DIR", "QM_MARIADB_PORT", "QM_MARIADB_SOCKET"}) {
        std::string second = std::string(key).insert(std::string(key).find('_', 3), n);
        auto it = servers.find(second);
        if (it != servers.end()) out[key] = it->second;
    }
    return out;
}

server_database::server_database(db_kind kind, server_settings servers, std::string existing)
    : kind_(kind), servers_(std::move(servers)), name_(std::move(existing)), owned_(false) {}

server_database::server_database(db_kind kind, server_settings servers)
    : kind_(kind), servers_(std::move(servers)) {
    static int made = 0;
    name_ = "qm_" + std::to_string(getpid()) + "_" + std::to_string(++made);
    run("quillmar", "CREATE DATABASE " + name_);
}

server_database::~server_database() {
    if (!owned_) return;
    try {
        run("quillmar", kind_ == db_kind::postgres
                            ? "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)"
                            : "DROP DATABASE IF EXISTS " + name_);
    } catch (const std::exception&) {
        // A server stopped by the test leaves its scratch database behind;
        // the whole data directory goes with the run.
    }
}

std::string server_database::client(const std::string& database, child_options& o) const {
    std::string program;
    if (kind_ == db_kind::postgres) {
        program = setting(servers_, "QM_PG_BIN") + "/psql";
        o.args = {"-X", "-q",
                  "-A", "-t",
                  "-F", "\t",
                  "-v", "ON_ERROR_STOP=1",
                  "-h", setting(servers_, "QM_PG_SOCKET_DIR"),
                  "-p", setting(servers_, "QM_PG_PORT"),
                  "-U", "quillmar",
                  "-d", database};
        o.env = {{"PGPASSWORD", "qm-secret"}};
    } else {
        program = "/usr/bin/mariadb";
        // Unbuffered: each answer is written as soon as it is there.
        o.args = {"--no-defaults",
                  "-n",
                  "-N",
                  "-B",
                  "-S",
                  setting(servers_, "QM_MARIADB_SOCKET"),
                  "-uquillmar",
                  "-pqm-secret",
                  database};
    }
    return program;
}

std::string server_database::client_input(const std::string& sql) const {
    if (kind_ == db_kind::postgres) return quote_brackets(sql, '"') + ";\n";
    return "SET SESSION sql_mode = CONCAT(@@sql_mode, ',NO_BACKSLASH_ESCAPES');\n" +
           quote_brackets(sql, '`') + ";\n";
}

std::string server_database::run(const std::string& database, const std::string& sql) const {
    child_options o;
    const std::string program = client(database, o);
    o.timeout = std::chrono::milliseconds(60000);
    child_result r = run_child(program, client_input(sql), o);
    if (r.exit_code != 0)
        throw std::runtime_error(std::string(db_kind_name(kind_)) + " refused: " + sql + ": " +
                                 r.err);
    return r.out;
}

void server_database::exec(const std::string& sql) const { run(name_, sql); }

namespace {

// The server's own client, its input kept open between statements.
class held_on_server : public held_transaction {
public:
    held_on_server(const std::string& program, const child_options& options)
        : client_(program, options) {}
    void start(const std::string& input) {
        // The mark comes back once the statements before it have run.
        if (!client_.write(input + "SELECT 'held';\n") ||
            client_.read_line(std::chrono::seconds(30)) != "held\n")
            throw std::runtime_error("the change was not made: " + client_.finish().err);
    }
    void commit() override {
        if (!client_.write("COMMIT;\nSELECT 'done';\n") ||
            client_.read_line(std::chrono::seconds(60)) != "done\n")
            throw std::runtime_error("the change was not committed");
    }

private:
    child_session client_;
};

}  // namespace

std::unique_ptr<held_transaction> server_database::hold_transaction(const std::string& sql) const {
    child_options o;
    const std::string program = client(name_, o);
    auto held = std::make_unique<held_on_server>(program, o);
    held->start(client_input("BEGIN;\n" + sql));
    return held;
}

std::vector<std::vector<std::string>> server_database::query(const std::string& sql) const {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(run(name_, sql));
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> row;
        std::size_t start = 0;
        for (;;) {
            std::size_t tab = line.find('\t', start);
            row.push_back(
                line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
            if (tab == std::string::npos) break;
            start = tab + 1;
        }
        rows.push_back(row);
    }
    return rows;
}

std::vector<std::pair<std::string, std::string>> server_database::dsn_settings() const {
    if (kind_ == db_kind::postgres)
        return {{"Driver", kPgDriver},
                {"Servername", "127.0.0.1"},
                {"Port", setting(servers_, "QM_PG_PORT")},
                {"Database", name_},
                {"Username", "quillmar"},
                {"Password", "qm-secret"}};
    return {{"Driver", kMariaDriver},
            {"Server", "127.0.0.1"},
            {"Port", setting(servers_, "QM_MARIADB_PORT")},
            {"Database", name_},
            {"User", "quillmar"},
            {"Password", "qm-secret"}};
}

bool run_db_servers_script(const std::string& script, const std::vector<std::string>& args) {
    child_options o;
    o.args = args;
    o.args.insert(o.args.begin(), script);
    o.timeout = std::chrono::milliseconds(120000);
    child_result r = run_child("/bin/bash", "", o);
    // A server that would not start says why in the test's output.
    if (r.exit_code != 0)
        std::fprintf(stderr, "db-servers.sh failed:\n%s%s", r.out.c_str(), r.err.c_str());
    return r.exit_code == 0;
}

}  // namespace qmtest
