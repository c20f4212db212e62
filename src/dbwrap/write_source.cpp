#include "dbwrap/write_source.h"

#include <chrono>
#include <memory>

#include "config/log.h"
#include "dbwrap/command_deadline.h"
#include "dbwrap/connect_string.h"
#include "dbwrap/db_objects.h"

namespace {

using steady = std::chrono::steady_clock;

// A source that could not be opened is not tried again for so long: every
// login of a user with an old value would otherwise wait for a dead server
// before its answer.
constexpr std::chrono::seconds rest_after_failure{10};

struct {
    std::string name;
    std::string connect, shown;
    std::unique_ptr<CDatabase> connection;
    db_dbms dbms = db_dbms::other;
    std::string failure;
    bool failed_before = false;
    steady::time_point failed_at;
} source;

}  // namespace

void db_set_write_source(const std::optional<std::string>& data_source,
                         const std::optional<std::string>& login,
                         const std::optional<std::string>& password) {
    db_close_write_source();
    if (!data_source || data_source->empty()) return;
    connect_strings connect = build_connect_string(data_source, login, password);
    source.name = *data_source;
    source.connect = connect.sent;
    source.shown = connect.shown;
}

bool db_write_source_set() { return !source.name.empty(); }

const std::string& db_write_source_name() { return source.name; }

const std::string& db_write_source_failure() { return source.failure; }

int db_open_write_source() {
    if (!db_write_source_set()) return 0;
    if (source.connection && source.connection->IsOpen()) return 1;
    if (!source.connection) source.connection = std::make_unique<CDatabase>();
    debug_log("connecting to the write source with (%s)", source.shown.c_str());
    // As the main connection reconnects: a server dying as we connect may
    // take the connection and drop it, and a driver with a list of servers
    // does not go on to the next one then; a quick failure is tried once
    // more at once, a slow one (a login timeout) is not waited for twice.
    db_command_deadline deadline;
    bool opened = false;
    for (int attempt = 0; attempt < 2 && !opened && !command_deadline::passed(); ++attempt) {
        const auto started = steady::now();
        opened = db_connect(*source.connection, source.connect, nullptr, source.failure);
        if (steady::now() - started > std::chrono::seconds(1)) break;
    }
    if (!opened) {
        if (command_deadline::passed()) source.failure = "no answer within the command's deadline";
        source.failed_before = true;
        source.failed_at = steady::now();
        return 0;
    }
    source.failure.clear();
    source.failed_before = false;
    source.dbms = db_dbms_of(*source.connection);
    return 1;
}

void db_close_write_source() {
    if (source.connection) {
        try {
            source.connection->Close();
        } catch (...) {
            error_log("Closing the connection to data source (%s) failed", source.name.c_str());
        }
        source.connection.reset();
    }
    source.name.clear();
    source.connect.clear();
    source.shown.clear();
    source.failure.clear();
    source.failed_before = false;
}

CDatabase* db_write_connection(bool reopen, db_dbms& dbms) {
    if (source.connection && source.connection->IsOpen() && !reopen) {
        dbms = source.dbms;
        return source.connection.get();
    }
    if (source.connection && source.connection->IsOpen()) {
        try {
            source.connection->Close();
        } catch (...) {
        }
    }
    if (source.failed_before && steady::now() - source.failed_at < rest_after_failure)
        return nullptr;
    if (!db_open_write_source()) return nullptr;
    dbms = source.dbms;
    return source.connection.get();
}
