// The world a benchmark's authenticators run in: the user table's database
// (SQLite in a private ODBC world, or a scratch database on the servers of
// scripts/db-servers.sh named by QM_DB_SERVERS_ENV) under the data source
// "quillmar", and the options that start an authenticator in it.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "support/child_process.h"
#include "support/db_servers.h"
#include "support/odbc_env.h"

namespace qmbench {

struct bench_database {
    // False, with the reason on standard error, when `db` ("sqlite",
    // "postgres" or "mariadb") cannot be had here.
    bool open(const std::string& db) {
        if (db == "sqlite") return true;
        if (db != "postgres" && db != "mariadb") {
            std::fprintf(stderr, "--db takes sqlite, postgres or mariadb\n");
            return false;
        }
        kind = db == "postgres" ? qmtest::db_kind::postgres : qmtest::db_kind::mariadb;
        qmtest::server_settings servers = qmtest::read_servers_env();
        if (!qmtest::has_server(kind, servers)) {
            std::fprintf(stderr,
                         "no %s server: start scripts/db-servers.sh and set QM_DB_SERVERS_ENV\n",
                         db.c_str());
            return false;
        }
        server = std::make_unique<qmtest::server_database>(kind, servers);
        env.set_dsn("quillmar", server->dsn_settings());
        return true;
    }

    void exec(const std::string& sql) const {
        if (server)
            server->exec(sql);
        else
            env.exec(sql);
    }

    // An authenticator in `cwd` (by default the world's folder, with its
    // quillmar.ini) that reaches the world's data source.
    qmtest::child_options authenticator_options(const std::string& cwd = "") const {
        qmtest::child_options o;
        o.argv0 = "quillmar";
        o.cwd = cwd.empty() ? env.dir() : cwd;
        for (const std::string& setting : env.child_environment()) {
            std::size_t eq = setting.find('=');
            o.env.emplace_back(setting.substr(0, eq), setting.substr(eq + 1));
        }
        return o;
    }

    odbc_env env{"quillmar"};
    std::unique_ptr<qmtest::server_database> server;
    qmtest::db_kind kind = qmtest::db_kind::sqlite;
};

}  // namespace qmbench
