#include "support/odbc_env.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>

namespace {

// SQLite is reached through dlopen so that every test program can use this
// helper without linking SQLite (or ODBC) itself. The SQLite ODBC driver
// depends on the same library, so it is present wherever the tests run.
struct sqlite_api {
    using open_fn = int (*)(const char*, void**);
    using close_fn = int (*)(void*);
    using exec_fn = int (*)(void*, const char*, int (*)(void*, int, char**, char**), void*, char**);
    using free_fn = void (*)(void*);
    using errmsg_fn = const char* (*)(void*);

    open_fn open = nullptr;
    close_fn close = nullptr;
    exec_fn exec = nullptr;
    free_fn free = nullptr;
    errmsg_fn errmsg = nullptr;

    static const sqlite_api& get() {
        static const sqlite_api api = load();
        return api;
    }

private:
    static sqlite_api load() {
        void* lib = dlopen("libsqlite3.so.0", RTLD_NOW | RTLD_GLOBAL);
        if (!lib) throw std::runtime_error(std::string("cannot load SQLite: ") + dlerror());
        sqlite_api a;
        a.open = reinterpret_cast<open_fn>(dlsym(lib, "sqlite3_open"));
        a.close = reinterpret_cast<close_fn>(dlsym(lib, "sqlite3_close"));
        a.exec = reinterpret_cast<exec_fn>(dlsym(lib, "sqlite3_exec"));
        a.free = reinterpret_cast<free_fn>(dlsym(lib, "sqlite3_free"));
        a.errmsg = reinterpret_cast<errmsg_fn>(dlsym(lib, "sqlite3_errmsg"));
        if (!a.open || !a.close || !a.exec || !a.free || !a.errmsg)
            throw std::runtime_error("SQLite library lacks an entry point");
        return a;
    }
};

using rows = std::vector<std::vector<std::optional<std::string>>>;

int collect_row(void* data, int n, char** values, char**) {
    auto* out = static_cast<rows*>(data);
    std::vector<std::optional<std::string>> row;
    for (int i = 0; i < n; ++i)
        row.push_back(values[i] ? std::optional<std::string>(values[i]) : std::nullopt);
    out->push_back(std::move(row));
    return 0;
}

void run_sql(const std::string& path, const std::string& sql, rows* out) {
    const sqlite_api& api = sqlite_api::get();
    void* db = nullptr;
    if (api.open(path.c_str(), &db) != 0) {
        std::string msg = db ? api.errmsg(db) : "out of memory";
        api.close(db);
        throw std::runtime_error("cannot open " + path + ": " + msg);
    }
    char* err = nullptr;
    int rc = api.exec(db, sql.c_str(), out ? collect_row : nullptr, out, &err);
    std::string msg = err ? err : "";
    api.free(err);
    api.close(db);
    if (rc != 0) throw std::runtime_error("SQL failed: " + sql + ": " + msg);
}

std::optional<std::string> getenv_opt(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::optional<std::string>(v) : std::nullopt;
}

void restore_env(const char* name, const std::optional<std::string>& value) {
    if (value)
        setenv(name, value->c_str(), 1);
    else
        unsetenv(name);
}

// The driver manager and its ini library remember the ODBCSYSINI and ODBCINI
// files from their first use for the rest of the process, and cache what they
// read. So inside one process every odbc_env shares one directory with one
// odbcinst.ini and one odbc.ini that lives until the process ends; each
// environment adds its data sources there under names of its own. Its own
// directory gets an odbc.ini with just its sources, for child processes.
struct shared_sysini {
    std::string dir;
    std::string extra;  // driver entries added by tests
    std::string trace_file;
    std::map<std::string, std::string> sources;  // DSN name -> its section

    void write_sources() const {
        std::string text;
        for (const auto& s : sources) text += s.second;
        std::ofstream out(dir + "/odbc.ini", std::ios::binary | std::ios::trunc);
        out << text;
    }

    static shared_sysini& get() {
        static shared_sysini* s = new shared_sysini;
        return *s;
    }
    void write() const {
        std::string inst;
        if (!trace_file.empty()) inst += "[ODBC]\nTrace = Yes\nTraceFile = " + trace_file + "\n\n";
        inst += std::string("[") + odbc_env::kDriverName +
                "]\nDescription = SQLite3 ODBC driver\nDriver = " + odbc_env::kDriverLibrary +
                "\nDontDLClose = 1\n" + extra;
        std::ofstream out(dir + "/odbcinst.ini", std::ios::binary | std::ios::trunc);
        out << inst;
    }

private:
    shared_sysini() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "qm_odbcsys_XXXXXX").string();
        if (!mkdtemp(&pattern[0])) throw std::runtime_error("mkdtemp failed");
        dir = pattern;
        write();
        write_sources();
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(get().dir, ec);
        });
    }
};

}  // namespace

odbc_env::odbc_env(const std::string& dsn) : dsn_(dsn) {
    static int made = 0;
    if (dsn_.empty()) dsn_ = "quillmar_test_" + std::to_string(++made);
    std::string pattern = (std::filesystem::temp_directory_path() / "qm_odbc_XXXXXX").string();
    if (!mkdtemp(&pattern[0])) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    db_path_ = dir_ + "/test.db";
    run_sql(db_path_, "PRAGMA user_version = 0;", nullptr);  // creates the file
    sections_.emplace_back(
        dsn_, "[" + dsn_ + "]\nDriver = " + kDriverName + "\nDatabase = " + db_path_ + "\n\n");
    write_ini_files();
    old_sysini_ = getenv_opt("ODBCSYSINI");
    old_ini_ = getenv_opt("ODBCINI");
    setenv("ODBCSYSINI", shared_sysini::get().dir.c_str(), 1);
    setenv("ODBCINI", (shared_sysini::get().dir + "/odbc.ini").c_str(), 1);
}

odbc_env::~odbc_env() {
    shared_sysini& sys = shared_sysini::get();
    for (const std::string& name : names_) sys.sources.erase(name);
    sys.write_sources();
    restore_env("ODBCSYSINI", old_sysini_);
    restore_env("ODBCINI", old_ini_);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::vector<std::string> odbc_env::child_environment() const {
    return {"ODBCSYSINI=" + shared_sysini::get().dir, "ODBCINI=" + dir_ + "/odbc.ini"};
}

void odbc_env::add_dsn(const std::string& name, const std::string& driver,
                       const std::string& database) {
    std::string section = "[" + name + "]\nDriver = " + driver + "\n";
    if (!database.empty()) section += "Database = " + database + "\n";
    sections_.emplace_back(name, section + "\n");
    write_ini_files();
}

void odbc_env::set_dsn(const std::string& name,
                       const std::vector<std::pair<std::string, std::string>>& settings) {
    std::string section = "[" + name + "]\n";
    for (const auto& kv : settings) section += kv.first + " = " + kv.second + "\n";
    section += "\n";
    bool replaced = false;
    for (auto& s : sections_) {
        if (s.first == name) {
            s.second = section;
            replaced = true;
        }
    }
    if (!replaced) sections_.emplace_back(name, section);
    write_ini_files();
}

void odbc_env::add_driver(const std::string& name, const std::string& library) {
    shared_sysini& sys = shared_sysini::get();
    sys.extra += "\n[" + name + "]\nDriver = " + library + "\n";
    sys.write();
}

void odbc_env::enable_dm_trace(const std::string& file) {
    shared_sysini& sys = shared_sysini::get();
    sys.trace_file = file;
    sys.write();
}

void odbc_env::write_ini_files() {
    std::string own;
    shared_sysini& sys = shared_sysini::get();
    names_.clear();
    for (const auto& s : sections_) {
        own += s.second;
        sys.sources[s.first] = s.second;
        names_.push_back(s.first);
    }
    write_file("odbc.ini", own);
    sys.write_sources();
}

void odbc_env::exec(const std::string& sql) const { run_sql(db_path_, sql, nullptr); }

rows odbc_env::query(const std::string& sql) const {
    rows out;
    run_sql(db_path_, sql, &out);
    return out;
}

std::shared_ptr<void> odbc_env::lock_exclusive() const {
    const sqlite_api& api = sqlite_api::get();
    void* db = nullptr;
    if (api.open(db_path_.c_str(), &db) != 0 ||
        api.exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != 0) {
        api.close(db);
        throw std::runtime_error("cannot lock " + db_path_);
    }
    return std::shared_ptr<void>(db, [](void* held) { sqlite_api::get().close(held); });
}

namespace {

class held_in_file : public held_transaction {
public:
    explicit held_in_file(void* db) : db_(db) {}
    ~held_in_file() override { sqlite_api::get().close(db_); }
    void commit() override {
        const sqlite_api& api = sqlite_api::get();
        // The authenticator may be reading: wait for it as a writer would.
        if (api.exec(db_, "PRAGMA busy_timeout = 30000; COMMIT", nullptr, nullptr, nullptr) != 0)
            throw std::runtime_error(std::string("cannot commit: ") + api.errmsg(db_));
    }

private:
    void* db_;
};

}  // namespace

std::unique_ptr<held_transaction> odbc_env::hold_transaction(const std::string& sql) const {
    const sqlite_api& api = sqlite_api::get();
    void* db = nullptr;
    if (api.open(db_path_.c_str(), &db) != 0 ||
        api.exec(db, ("BEGIN IMMEDIATE; " + sql).c_str(), nullptr, nullptr, nullptr) != 0) {
        std::string msg = db ? api.errmsg(db) : "out of memory";
        api.close(db);
        throw std::runtime_error("cannot hold a transaction: " + msg);
    }
    return std::make_unique<held_in_file>(db);
}

std::string odbc_env::write_file(const std::string& name, const std::string& text) const {
    std::string path = dir_ + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
    return path;
}
