// Checks per second and latency of the authenticator driven over pipes as a
// mail server drives it, one command at a time, against a user table of
// random users (SQLite, or PostgreSQL or MariaDB on the servers of
// scripts/db-servers.sh named by QM_DB_SERVERS_ENV); beside it two floors
// through the same ODBC driver without the authenticator, and the resident
// size over a long run.
//
//   quillmar_bench [--db sqlite|postgres|mariadb] [--users N] [--checks N] [--memory N]
//                  [--cache-memory N] [--binary PATH]
//
// Beside the goal's figures it measures floor (a) done by a child of the
// benchmark over the same pipes ("floor (a) in a child"): what a separate
// process answering one command at a time costs on top of the bare pipe round
// trip, which no work saved in the authenticator can remove.
//
// Beside the authenticator as the ini file has it, the same binary with
// odbc_fast_path true, and the closest peer program: squid's basic_db_auth
// (a Perl helper keeping one prepared statement with --persist), driven over
// the same kind of pipe with its own "user password" lines; --peer names
// another copy of it, and a machine without it (scripts/bench.sh installs
// it) measures the rest.
//
// --binary runs another build of the authenticator (by default the one built
// beside this benchmark), so that two builds can be compared in turns on a
// machine whose load changes from minute to minute.
// --memory N compares the resident size after 1,000 checks with the size
// after N checks (0 skips it).
//
// The answer cache: the fast path's authenticator with every user kept
// (cache_ttl), once with plain passwords and once with ARGON2ID values,
// measured in the same turns as the pipe round trip it is held against;
// --cache-memory N fills a cache of N users and reports the resident size a
// user costs (0 skips it).
//
// The other protocols: the authenticator as a squid helper (-protocol
// squid), fast path on and with the cache, answering the very request lines
// basic_db_auth answers, in the same turns; and a checkpassword login
// (-protocol checkpassword, /bin/true as the program) from its spawn to its
// exit, taking turns with the spawn of /bin/true alone; --logins N of each
// (0 skips them).
#include <sodium.h>
#include <sql.h>
#include <sqlext.h>

#include <dirent.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/db_servers.h"
#include "support/odbc_env.h"

#include "bench_database.h"

namespace {

using clock_type = std::chrono::steady_clock;

struct user_row {
    std::string user, pass;
};

struct figures {
    double median_us = 0, p99_us = 0, per_second = 0;
};

figures summarise(std::vector<double> micros) {
    figures f;
    if (micros.empty()) return f;
    double total = 0;
    for (double m : micros) total += m;
    std::sort(micros.begin(), micros.end());
    f.median_us = micros[micros.size() / 2];
    f.p99_us = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    f.per_second = total > 0 ? 1e6 * static_cast<double>(micros.size()) / total : 0;
    return f;
}

double micros_since(clock_type::time_point start) {
    return std::chrono::duration<double, std::micro>(clock_type::now() - start).count();
}

std::string random_word(std::mt19937& rng, std::size_t min, std::size_t max) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::uniform_int_distribution<std::size_t> length(min, max), letter(0, sizeof letters - 2);
    std::string word(length(rng), 'a');
    for (char& c : word) c = letters[letter(rng)];
    return word;
}

std::vector<user_row> make_users(std::size_t count, std::mt19937& rng,
                                 const std::string& tag = "") {
    std::vector<user_row> users;
    for (std::size_t i = 0; i < count; ++i)
        users.push_back({random_word(rng, 6, 12) + tag + std::to_string(i) + "@example.org",
                         random_word(rng, 8, 16)});
    return users;
}

// The user name column is called user, which PostgreSQL reserves: the
// statements and the ini file write it in brackets. `stored` gives the
// password column's value for a password.
void make_table(const std::function<void(const std::string&)>& exec,
                const std::vector<user_row>& users, const std::string& table = "maildb",
                const std::function<std::string(const std::string&)>& stored = nullptr) {
    std::string sql = "CREATE TABLE " + table +
                      " ([user] VARCHAR(128), pass VARCHAR(128), forward VARCHAR(255), "
                      "quota VARCHAR(32), mask VARCHAR(32), maildrop VARCHAR(255));"
                      "CREATE UNIQUE INDEX " +
                      table + "_user ON " + table + " ([user]);BEGIN;";
    for (std::size_t i = 0; i < users.size(); ++i) {
        const user_row& u = users[i];
        bool extras = i % 3 == 0;
        sql += "INSERT INTO " + table + " VALUES ('" + u.user + "','" +
               (stored ? stored(u.pass) : u.pass) + "'," +
               (extras ? "'fwd" + std::to_string(i) + "@elsewhere.example'" : "NULL") + "," +
               (i % 2 ? "'" + std::to_string(100 + i % 900) + "'" : "NULL") + ",NULL," +
               (i % 4 ? "'/var/mail/" + u.user + "'" : "NULL") + ");";
    }
    sql += "COMMIT";
    exec(sql);
}

// ARGON2ID values at libsodium's least limits, so that a table of thousands
// is made in seconds: a cached check never runs the hash, so its cost does
// not reach the cached figure (scheme_bench measures the hash itself).
std::string argon2id_value(const std::string& password) {
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_MIN,
                          crypto_pwhash_MEMLIMIT_MIN) != 0)
        throw std::runtime_error("crypto_pwhash_str failed");
    return std::string("{ARGON2ID}") + out;
}

// The statement the authenticator sends, its brackets as the driver gets them.
std::string select_text =
    "SELECT [user],pass,forward,quota,mask,maildrop  FROM maildb WHERE [user]=? AND pass=?";

void quote_names(std::string& text, char quote) {
    for (char& c : text)
        if (c == '[' || c == ']') c = quote;
}

void check_rc(SQLRETURN rc, const char* what) {
    if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO && rc != SQL_NO_DATA_FOUND)
        throw std::runtime_error(std::string("ODBC call failed: ") + what);
}

// The floors run on one connection of their own, with the ODBC 2 calls the
// authenticator's layer makes.
class floor_connection {
public:
    explicit floor_connection(const std::string& connect) {
        check_rc(SQLAllocEnv(&env_), "SQLAllocEnv");
        check_rc(SQLAllocConnect(env_, &dbc_), "SQLAllocConnect");
        SQLCHAR out[512];
        SQLSMALLINT out_length = 0;
        check_rc(SQLDriverConnect(dbc_, nullptr, (SQLCHAR*)connect.c_str(), SQL_NTS, out,
                                  sizeof out, &out_length, SQL_DRIVER_NOPROMPT),
                 "SQLDriverConnect");
    }
    // The connection stays to the end of the process: disconnecting the last
    // one makes the driver manager unload the installer library it loaded,
    // whose ini cache the sanitizer build then reports as lost.
    ~floor_connection() = default;
    SQLHDBC dbc() const { return dbc_; }

private:
    SQLHENV env_ = SQL_NULL_HENV;
    SQLHDBC dbc_ = SQL_NULL_HDBC;
};

struct bound_params {
    char user[256], pass[256];
    SQLLEN user_length = 0, pass_length = 0;
    void set(const user_row& u) {
        std::snprintf(user, sizeof user, "%s", u.user.c_str());
        std::snprintf(pass, sizeof pass, "%s", u.pass.c_str());
        user_length = static_cast<SQLLEN>(std::strlen(user));
        pass_length = static_cast<SQLLEN>(std::strlen(pass));
    }
    void bind(SQLHSTMT stmt) {
        check_rc(SQLBindParameter(stmt, 1, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 255, 0, user,
                                  sizeof user, &user_length),
                 "SQLBindParameter");
        check_rc(SQLBindParameter(stmt, 2, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 255, 0, pass,
                                  sizeof pass, &pass_length),
                 "SQLBindParameter");
    }
};

// Floor (a): one check's database work, done directly.
void direct_check(SQLHDBC dbc, const user_row& u) {
    SQLHSTMT cat = SQL_NULL_HSTMT;
    check_rc(SQLAllocStmt(dbc, &cat), "SQLAllocStmt");
    check_rc(SQLColumns(cat, nullptr, SQL_NTS, nullptr, SQL_NTS, (SQLCHAR*)"maildb", SQL_NTS,
                        nullptr, SQL_NTS),
             "SQLColumns");
    char name[256];
    SQLLEN name_length = 0;
    check_rc(SQLBindCol(cat, 4, SQL_C_CHAR, name, sizeof name, &name_length), "SQLBindCol");
    while (SQLFetch(cat) == SQL_SUCCESS) {
    }
    SQLFreeStmt(cat, SQL_DROP);

    SQLHSTMT stmt = SQL_NULL_HSTMT;
    check_rc(SQLAllocStmt(dbc, &stmt), "SQLAllocStmt");
    SQLSetStmtOption(stmt, SQL_CURSOR_TYPE, SQL_CURSOR_STATIC);
    SQLSetStmtOption(stmt, SQL_CONCURRENCY, SQL_CONCUR_READ_ONLY);
    bound_params params;
    params.set(u);
    params.bind(stmt);
    check_rc(SQLPrepare(stmt, (SQLCHAR*)select_text.c_str(), SQL_NTS), "SQLPrepare");
    check_rc(SQLExecute(stmt), "SQLExecute");
    char values[6][256];
    SQLLEN lengths[6];
    for (SQLUSMALLINT c = 0; c < 6; ++c)
        check_rc(SQLBindCol(stmt, c + 1, SQL_C_CHAR, values[c], sizeof values[c], &lengths[c]),
                 "SQLBindCol");
    SQLULEN fetched = 0;
    SQLUSMALLINT status[1];
    SQLExtendedFetch(stmt, SQL_FETCH_NEXT, 1, &fetched, status);
    SQLFreeStmt(stmt, SQL_CLOSE);
    check_rc(SQLExecute(stmt), "SQLExecute");
    while (SQLExtendedFetch(stmt, SQL_FETCH_NEXT, 1, &fetched, status) == SQL_SUCCESS) {
    }
    check_rc(SQLExtendedFetch(stmt, SQL_FETCH_ABSOLUTE, 1, &fetched, status), "absolute fetch");
    char buffer[256];
    SQLLEN length = 0;
    for (SQLUSMALLINT c = 1; c <= 6; ++c)
        SQLGetData(stmt, c, SQL_C_CHAR, buffer, sizeof buffer, &length);
    SQLFreeStmt(stmt, SQL_DROP);
}

// Floor (b): the one statement, prepared once, executed with new values.
class prepared_loop {
public:
    explicit prepared_loop(SQLHDBC dbc) {
        check_rc(SQLAllocStmt(dbc, &stmt_), "SQLAllocStmt");
        params_.bind(stmt_);
        check_rc(SQLPrepare(stmt_, (SQLCHAR*)select_text.c_str(), SQL_NTS), "SQLPrepare");
        for (SQLUSMALLINT c = 0; c < 6; ++c)
            check_rc(
                SQLBindCol(stmt_, c + 1, SQL_C_CHAR, values_[c], sizeof values_[c], &lengths_[c]),
                "SQLBindCol");
    }
    ~prepared_loop() { SQLFreeStmt(stmt_, SQL_DROP); }
    void run(const user_row& u) {
        params_.set(u);
        check_rc(SQLExecute(stmt_), "SQLExecute");
        while (SQLFetch(stmt_) == SQL_SUCCESS) {
        }
        SQLFreeStmt(stmt_, SQL_CLOSE);
    }

private:
    SQLHSTMT stmt_ = SQL_NULL_HSTMT;
    bound_params params_;
    char values_[6][256];
    SQLLEN lengths_[6];
};

// The child side of "floor (a) in a child" (and, `prepared`, of floor (b)):
// one "check <user> <password>" line at a time, the floor's ODBC work, one
// "+OK" line back.
int serve_floor(const std::string& connect, char quote, bool prepared) {
    quote_names(select_text, quote);
    floor_connection connection(connect);
    std::unique_ptr<prepared_loop> loop;
    if (prepared) loop = std::make_unique<prepared_loop>(connection.dbc());
    std::string line;
    int c;
    while ((c = std::getchar()) != EOF) {
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        std::size_t first = line.find(' '), second = line.find(' ', first + 1);
        if (first == std::string::npos || second == std::string::npos) return 1;
        const user_row u = {line.substr(first + 1, second - first - 1), line.substr(second + 1)};
        if (loop)
            loop->run(u);
        else
            direct_check(connection.dbc(), u);
        std::fputs("+OK\r\n", stdout);
        std::fflush(stdout);
        line.clear();
    }
    return 0;
}

// The child started last by this process with the given command name.
pid_t find_child(const char* name) {
    pid_t found = -1;
    DIR* proc = opendir("/proc");
    if (!proc) return -1;
    while (dirent* entry = readdir(proc)) {
        pid_t pid = std::atoi(entry->d_name);
        if (pid <= 0) continue;
        std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        std::size_t open = text.find('('), close = text.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        std::string comm = text.substr(open + 1, close - open - 1);
        int ppid = 0;
        char state = 0;
        if (std::sscanf(text.c_str() + close + 1, " %c %d", &state, &ppid) != 2) continue;
        if (comm == name && ppid == getpid() && pid > found) found = pid;
    }
    closedir(proc);
    return found;
}

// The kernel names a process after its file, cut to 15 characters.
pid_t find_authenticator(const std::string& binary) {
    return find_child(binary.substr(binary.find_last_of('/') + 1).substr(0, 15).c_str());
}

long resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

const std::string full_columns =
    "field_username [user]\nfield_password pass\nfield_forward forward\nfield_quota quota\n"
    "field_mailmask mask\nfield_maildrop maildrop\n";

// An authenticator started in a folder of the world's own, with this ini file.
qmtest::child_options ini_in_folder(const qmbench::bench_database& world, const std::string& folder,
                                    const std::string& ini) {
    mkdir((world.env.dir() + "/" + folder).c_str(), 0700);
    world.env.write_file(folder + "/quillmar.ini", ini);
    return world.authenticator_options(world.env.dir() + "/" + folder);
}

// The peer answers "OK" or "ERR <reason>", one line a request.
bool ask_peer(qmtest::child_session& s, const std::string& line) {
    return s.write(line) && s.read_line() == "OK\n";
}

bool ask(qmtest::child_session& s, const std::string& line) {
    if (!s.write(line)) return false;
    std::vector<std::string> answer = s.read_answer();
    return !answer.empty() && answer.back().rfind("+OK", 0) == 0;
}

std::string text_argument(int argc, char** argv, const char* name, const char* fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
    return fallback;
}

long argument(int argc, char** argv, const char* name, long fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return std::atol(argv[i + 1]);
    return fallback;
}

// The resident size of an authenticator whose cache holds `count` users,
// beside the size with one user kept: the difference per user is what an
// entry costs, its share of the table included.
void cache_memory(const qmbench::bench_database& world, const std::string& binary, long count,
                  std::mt19937& rng) {
    std::vector<user_row> users = make_users(static_cast<std::size_t>(count), rng, "m");
    make_table([&](const std::string& sql) { world.exec(sql); }, users, "maildb_memory");
    qmtest::child_options options =
        ini_in_folder(world, "memory",
                      full_columns +
                          "odbc_mail_user_table maildb_memory\nodbc_fast_path true\ncache_ttl "
                          "3600\ncache_size " +
                          std::to_string(count) + "\n");
    qmtest::child_session session(binary, options);
    pid_t pid = -1;
    for (int i = 0; i < 1000; ++i) {
        if (!ask(session, "check " + users[0].user + " " + users[0].pass + "\n"))
            throw std::runtime_error("check refused during the cache memory run");
        if (i == 0) pid = find_authenticator(binary);
    }
    const long one = resident_kib(pid);
    for (const user_row& u : users)
        if (!ask(session, "check " + u.user + " " + u.pass + "\n"))
            throw std::runtime_error("check refused while filling the cache for " + u.user);
    long all = resident_kib(pid);
    session.finish();
    std::printf(
        "cache memory: resident size %ld KiB with 1 user kept, %ld KiB with %ld: %.0f bytes a "
        "user\n",
        one, all, count, count > 1 ? (all - one) * 1024.0 / static_cast<double>(count - 1) : 0);
}

// One program spawned with `data` on its descriptor 3 and waited for; the
// microseconds from the spawn to its exit, or -1 when it failed, and the
// processor time it used (`cpu_us`), which a loaded machine does not swell.
double spawn_and_wait(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                      const std::string& data, int& status, double& cpu_us) {
    int p[2];
    if (::pipe(p) != 0) return -1;
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, p[0], 3);
    posix_spawn_file_actions_addclose(&actions, p[1]);
    pid_t pid = -1;
    auto start = clock_type::now();
    int failed = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(p[0]);
    if (!failed && ::write(p[1], data.data(), data.size()) < 0) failed = 1;
    ::close(p[1]);
    if (failed) return -1;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    double wall = micros_since(start);
    cpu_us = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 + usage.ru_utime.tv_usec +
             usage.ru_stime.tv_usec;
    return wall;
}

// checkpassword logins against the spawn of the program alone, in turns.
void checkpassword_logins(const qmbench::bench_database& world, const std::string& binary,
                          const std::vector<user_row>& users, long count, std::mt19937& rng) {
    const std::string folder = world.env.dir() + "/checkpassword";
    mkdir(folder.c_str(), 0700);
    world.env.write_file(
        "checkpassword/quillmar.ini",
        full_columns + "odbc_fast_path true\n" + "log_path " + folder + "/quillmar.log\n");
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    for (const std::string& setting : world.env.child_environment()) env.push_back(setting);
    const std::vector<std::string> login = {binary,      "-config",       folder + "/quillmar.ini",
                                            "-protocol", "checkpassword", "/bin/true"};
    const std::vector<std::string> alone = {"/bin/true"};
    std::uniform_int_distribution<std::size_t> pick(0, users.size() - 1);
    std::vector<double> logins, spawns, login_cpu, spawn_cpu;
    for (long i = -10; i < count; ++i) {
        const user_row& u = users[pick(rng)];
        const std::string data = u.user + '\0' + u.pass + '\0';
        int status = -1;
        double cpu = 0, alone_cpu = 0;
        double t = spawn_and_wait(login, env, data, status, cpu);
        if (t < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            throw std::runtime_error("checkpassword login refused for " + u.user);
        double b = spawn_and_wait(alone, env, data, status, alone_cpu);
        if (i < 0) continue;
        logins.push_back(t);
        spawns.push_back(b);
        login_cpu.push_back(cpu);
        spawn_cpu.push_back(alone_cpu);
    }
    figures l = summarise(logins), b = summarise(spawns), lc = summarise(login_cpu),
            bc = summarise(spawn_cpu);
    std::printf(
        "checkpassword login %6.0f logins/s median %7.1f us  p99 %7.1f us, processor %.1f us "
        "(spawning /bin/true alone: median %.1f us, processor %.1f us)\n",
        l.per_second, l.median_us, l.p99_us, lc.median_us, b.median_us, bc.median_us);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "--floor-child") == 0)
        return serve_floor(argv[2], argv[3][0], argc == 5);
    const long user_count = argument(argc, argv, "--users", 10000);
    const long checks = argument(argc, argv, "--checks", 20000);
    const long memory_checks = argument(argc, argv, "--memory", 100000);
    const long cache_entries = argument(argc, argv, "--cache-memory", 100000);
    const long login_count = argument(argc, argv, "--logins", 300);
    const std::string db = text_argument(argc, argv, "--db", "sqlite");
    const std::string binary = text_argument(argc, argv, "--binary", QM_BINARY);
    const std::string peer = text_argument(argc, argv, "--peer", "/usr/lib/squid/basic_db_auth");
    std::mt19937 rng(20261207);

    qmbench::bench_database world;
    if (!world.open(db)) return 2;
    odbc_env& env = world.env;
    const std::unique_ptr<qmtest::server_database>& server = world.server;
    std::function<void(const std::string&)> exec = [&](const std::string& sql) { world.exec(sql); };
    const char quote = world.kind == qmtest::db_kind::mariadb ? '`' : '"';
    quote_names(select_text, quote);
    std::vector<user_row> users = make_users(static_cast<std::size_t>(user_count), rng);
    make_table(exec, users);
    env.write_file("quillmar.ini", full_columns);
    // Each further authenticator runs in a folder of its own, for its ini.
    qmtest::child_options fast_options =
        ini_in_folder(world, "fast", full_columns + "odbc_fast_path true\n");

    // The cache in front of the fast path, with every user kept: plain
    // passwords, and ARGON2ID values of the same passwords in a table of
    // their own.
    make_table(exec, users, "maildb_argon", argon2id_value);
    const std::string cache_keys = "odbc_fast_path true\ncache_ttl 3600\ncache_size " +
                                   std::to_string(std::max(user_count, 1L)) + "\n";
    qmtest::child_options cached_options =
        ini_in_folder(world, "cached", full_columns + cache_keys);
    qmtest::child_options argon_options =
        ini_in_folder(world, "cached_argon",
                      full_columns + cache_keys +
                          "odbc_mail_user_table maildb_argon\ndefault_pass_scheme ARGON2ID\n");

    // The same binary as squid's helper, fast path on, and with the cache.
    qmtest::child_options squid_fast_options =
        ini_in_folder(world, "squid_fast", full_columns + "odbc_fast_path true\n");
    qmtest::child_options squid_cached_options =
        ini_in_folder(world, "squid_cached", full_columns + cache_keys);
    squid_fast_options.args = squid_cached_options.args = {"-protocol", "squid"};

    // The peer reads the same table through Perl's own database drivers.
    std::string peer_dsn = "DBI:SQLite:dbname=" + env.db_path();
    if (db == "postgres") {
        std::string port;
        for (const auto& setting : server->dsn_settings())
            if (setting.first == "Port") port = setting.second;
        peer_dsn = "DBI:Pg:dbname=" + server->name() + ";host=127.0.0.1;port=" + port;
    }
    const bool with_peer = db != "mariadb" && access(peer.c_str(), R_OK) == 0;
    qmtest::child_options peer_options;
    peer_options.argv0 = "basic_db_auth";
    peer_options.args = {peer,        "--dsn",   peer_dsn, "--user",      "quillmar", "--password",
                         "qm-secret", "--table", "maildb", "--usercol",   "\"user\"", "--passwdcol",
                         "pass",      "--cond",  "",       "--plaintext", "--persist"};
    auto peer_line = [](const user_row& u) { return u.user + " " + u.pass + "\n"; };

    std::uniform_int_distribution<std::size_t> pick(0, users.size() - 1);
    auto line_for = [&](const user_row& u) { return "check " + u.user + " " + u.pass + "\n"; };

    // The four measurements take turns in short blocks, so that the load
    // others put on the machine falls on all of them alike.
    std::vector<double> auth, pipe, floor_a, floor_b, floor_child, auth_fast, peer_times, cached,
        cached_argon, no_command, squid_fast, squid_cached, floor_b_child;
    {
        qmtest::child_session session(binary, world.authenticator_options());
        qmtest::child_session fast_session(binary, fast_options);
        qmtest::child_session cached_session(binary, cached_options);
        qmtest::child_session argon_session(binary, argon_options);
        qmtest::child_session squid_fast_session(binary, squid_fast_options);
        qmtest::child_session squid_cached_session(binary, squid_cached_options);
        // Every user once, so that every measured check is answered from the cache.
        for (const user_row& u : users) {
            if (!ask(cached_session, line_for(u)) || !ask(argon_session, line_for(u)) ||
                !ask_peer(squid_cached_session, peer_line(u)))
                throw std::runtime_error("check refused while filling the cache for " + u.user);
        }
        std::unique_ptr<qmtest::child_session> peer_session;
        if (with_peer)
            peer_session = std::make_unique<qmtest::child_session>("/usr/bin/perl", peer_options);
        qmtest::child_options floor_options = world.authenticator_options();
        floor_options.argv0 = "quillmar_bench";
        floor_options.args = {"--floor-child", env.connect_string(), std::string(1, quote)};
        qmtest::child_session floor_server("/proc/self/exe", floor_options);
        floor_options.args.push_back("prepared");
        qmtest::child_session prepared_server("/proc/self/exe", floor_options);
        qmtest::child_session cat("/bin/cat");
        floor_connection connection(env.connect_string());
        prepared_loop loop(connection.dbc());
        for (int i = 0; i < 200; ++i) {
            if (!ask(session, line_for(users[pick(rng)])))
                throw std::runtime_error("warm-up check refused");
            direct_check(connection.dbc(), users[pick(rng)]);
            loop.run(users[pick(rng)]);
            if (!ask(cat, "+OK ping\n")) throw std::runtime_error("echo child failed");
            if (!ask(prepared_server, line_for(users[pick(rng)])))
                throw std::runtime_error("floor child failed");
            if (!ask(floor_server, line_for(users[pick(rng)])))
                throw std::runtime_error("floor child failed");
            if (!ask(fast_session, line_for(users[pick(rng)])))
                throw std::runtime_error("warm-up check refused with the fast path");
            if (peer_session && !ask_peer(*peer_session, peer_line(users[pick(rng)])))
                throw std::runtime_error("basic_db_auth refused a warm-up check");
            if (!ask_peer(squid_fast_session, peer_line(users[pick(rng)])))
                throw std::runtime_error("the squid helper refused a warm-up check");
        }
        const long block = 50;
        for (long done = 0; done < checks; done += block) {
            long n = std::min(block, checks - done);
            for (long i = 0; i < n; ++i) {
                const user_row& u = users[pick(rng)];
                auto start = clock_type::now();
                if (!ask(session, line_for(u)))
                    throw std::runtime_error("check refused for " + u.user);
                auth.push_back(micros_since(start));
            }
            for (long i = 0; i < n; ++i) {
                const user_row& u = users[pick(rng)];
                auto start = clock_type::now();
                direct_check(connection.dbc(), u);
                floor_a.push_back(micros_since(start));
            }
            for (long i = 0; i < n; ++i) {
                auto start = clock_type::now();
                if (!ask(cat, "+OK ping\n")) throw std::runtime_error("echo child failed");
                pipe.push_back(micros_since(start));
            }
            for (long i = 0; i < n; ++i) {
                const user_row& u = users[pick(rng)];
                auto start = clock_type::now();
                loop.run(u);
                floor_b.push_back(micros_since(start));
            }
            for (long i = 0; i < n; ++i) {
                const user_row& u = users[pick(rng)];
                auto start = clock_type::now();
                if (!ask(prepared_server, line_for(u)))
                    throw std::runtime_error("floor child failed");
                floor_b_child.push_back(micros_since(start));
            }
            for (long i = 0; i < n; ++i) {
                const user_row& u = users[pick(rng)];
                auto start = clock_type::now();
                if (!ask(floor_server, line_for(u))) throw std::runtime_error("floor child failed");
                floor_child.push_back(micros_since(start));
            }
            for (long i = 0; i < n; ++i) {
                const user_row& u = users[pick(rng)];
                auto start = clock_type::now();
                if (!ask(fast_session, line_for(u)))
                    throw std::runtime_error("check refused with the fast path for " + u.user);
                auth_fast.push_back(micros_since(start));
            }
            // The front end's own answer, which asks nothing of the back end.
            for (long i = 0; i < n; ++i) {
                auto start = clock_type::now();
                if (!cached_session.write("nothing\n") || cached_session.read_answer().empty())
                    throw std::runtime_error("no answer to an unknown command");
                no_command.push_back(micros_since(start));
            }
            // The lines are made before the clock starts, as the pipe's is:
            // reading a random user's name from the benchmark's own memory
            // is no part of the answer.
            for (auto [cached_one, times] :
                 {std::pair{&cached_session, &cached}, std::pair{&argon_session, &cached_argon}}) {
                std::vector<std::string> lines;
                for (long i = 0; i < n; ++i) lines.push_back(line_for(users[pick(rng)]));
                for (const std::string& line : lines) {
                    auto start = clock_type::now();
                    if (!ask(*cached_one, line))
                        throw std::runtime_error("cached check refused: " + line);
                    times->push_back(micros_since(start));
                }
            }
            // basic_db_auth and the squid helper answer the same lines.
            std::vector<std::string> requests;
            for (long i = 0; i < n; ++i) requests.push_back(peer_line(users[pick(rng)]));
            for (auto [helper, times] : {std::pair{peer_session.get(), &peer_times},
                                         std::pair{&squid_fast_session, &squid_fast},
                                         std::pair{&squid_cached_session, &squid_cached}}) {
                for (const std::string& line : requests) {
                    if (!helper) break;
                    auto start = clock_type::now();
                    if (!ask_peer(*helper, line))
                        throw std::runtime_error("a squid helper refused " + line);
                    times->push_back(micros_since(start));
                }
            }
        }
        fast_session.finish();
        cached_session.finish();
        argon_session.finish();
        if (peer_session) peer_session->finish();
        squid_fast_session.finish();
        squid_cached_session.finish();
        session.finish();
        cat.finish();
        floor_server.finish();
        prepared_server.finish();
    }

    figures a = summarise(auth), p = summarise(pipe), fa = summarise(floor_a),
            fb = summarise(floor_b), fc = summarise(floor_child);
    double floor_a_median = fa.median_us + p.median_us;
    std::printf("database %s, users %ld, checks %ld per measurement\n", db.c_str(), user_count,
                checks);
    std::printf("authenticator   %9.0f checks/s  median %7.1f us  p99 %7.1f us\n", a.per_second,
                a.median_us, a.p99_us);
    std::printf("pipe round trip                    median %7.1f us  p99 %7.1f us\n", p.median_us,
                p.p99_us);
    std::printf(
        "floor (a) ODBC  %9.0f checks/s  median %7.1f us  p99 %7.1f us  (+ pipe: %.1f us)\n",
        fa.per_second, fa.median_us, fa.p99_us, floor_a_median);
    std::printf("floor (b) prep. %9.0f checks/s  median %7.1f us  p99 %7.1f us\n", fb.per_second,
                fb.median_us, fb.p99_us);
    double ratio_a = floor_a_median > 0 ? a.median_us / floor_a_median : 0;
    double ratio_b =
        fb.median_us + p.median_us > 0 ? a.median_us / (fb.median_us + p.median_us) : 0;
    // The 1.30 goal is set for SQLite, where the catalog listing is cheap;
    // on a server the figure is shown without it.
    if (db == "sqlite")
        std::printf("median ratio to floor (a): %.2f (goal at most 1.30: %s)\n", ratio_a,
                    ratio_a <= 1.30 ? "met" : "missed");
    else
        std::printf("median ratio to floor (a): %.2f\n", ratio_a);
    std::printf("median ratio to floor (b) + pipe: %.2f\n", ratio_b);
    std::printf(
        "floor (a) in a child %4.0f checks/s  median %7.1f us  p99 %7.1f us  (%.2f times floor (a) "
        "+ pipe; the authenticator %.2f times it)\n",
        fc.per_second, fc.median_us, fc.p99_us,
        floor_a_median > 0 ? fc.median_us / floor_a_median : 0,
        fc.median_us > 0 ? a.median_us / fc.median_us : 0);

    figures f = summarise(auth_fast), pr = summarise(peer_times);
    std::printf(
        "fast path on    %9.0f checks/s  median %7.1f us  p99 %7.1f us  (%.2f times the "
        "authenticator without it)\n",
        f.per_second, f.median_us, f.p99_us, a.median_us > 0 ? f.median_us / a.median_us : 0);
    double bound = 1.5 * fb.median_us + p.median_us;
    std::printf(
        "fast path median ratio to floor (b) + pipe: %.2f; to 1.5 x floor (b) + pipe (%.1f us): "
        "%.2f (goal at most 1.00: %s)\n",
        fb.median_us + p.median_us > 0 ? f.median_us / (fb.median_us + p.median_us) : 0, bound,
        bound > 0 ? f.median_us / bound : 0, f.median_us <= bound ? "met" : "missed");
    if (with_peer) {
        std::printf("basic_db_auth --persist %6.0f checks/s  median %7.1f us  p99 %7.1f us\n",
                    pr.per_second, pr.median_us, pr.p99_us);
        std::printf(
            "fast path median ratio to basic_db_auth: %.2f (goal below 1.00: %s); without the "
            "fast path: %.2f\n",
            pr.median_us > 0 ? f.median_us / pr.median_us : 0,
            f.median_us < pr.median_us ? "met" : "missed",
            pr.median_us > 0 ? a.median_us / pr.median_us : 0);
    } else {
        std::printf("basic_db_auth: not measured (%s)\n",
                    db == "mariadb" ? "no MariaDB driver for it here"
                                    : "not installed; scripts/bench.sh installs it");
    }

    // A cached check costs what the pipe costs and what the authenticator
    // does beside it; the goal leaves 3 us for the latter, of which the
    // front end's reading and answering of a line take their share.
    figures nc = summarise(no_command);
    std::printf(
        "unknown command   %9.0f answers/s median %7.1f us  p99 %7.1f us  (pipe + %.1f us)\n",
        nc.per_second, nc.median_us, nc.p99_us, nc.median_us - p.median_us);
    for (auto [name, times] : {std::pair{"plain", &cached}, std::pair{"ARGON2ID", &cached_argon}}) {
        figures c = summarise(*times);
        std::printf(
            "cached check (%s) %9.0f checks/s  median %7.1f us  p99 %7.1f us  (pipe + %.1f us; "
            "goal at most pipe + 3 us: %s)\n",
            name, c.per_second, c.median_us, c.p99_us, c.median_us - p.median_us,
            c.median_us <= p.median_us + 3 ? "met" : "missed");
    }

    // squid's helper protocol on the same request lines as basic_db_auth.
    figures sf = summarise(squid_fast), sc = summarise(squid_cached);
    std::printf("squid helper, fast path %6.0f checks/s  median %7.1f us  p99 %7.1f us\n",
                sf.per_second, sf.median_us, sf.p99_us);
    std::printf(
        "squid helper, cached    %6.0f checks/s  median %7.1f us  p99 %7.1f us  (pipe + %.1f us; "
        "goal at most pipe + 3 us: %s)\n",
        sc.per_second, sc.median_us, sc.p99_us, sc.median_us - p.median_us,
        sc.median_us <= p.median_us + 3 ? "met" : "missed");
    if (with_peer) {
        double ratio = pr.median_us > 0 ? sf.median_us / pr.median_us : 0;
        std::printf(
            "squid helper, fast path, median ratio to basic_db_auth: %.2f (goal at most 0.80: "
            "%s); cached: %.2f\n",
            ratio, ratio <= 0.80 ? "met" : "missed",
            pr.median_us > 0 ? sc.median_us / pr.median_us : 0);
        // What lies between the fast path and the driver's own floor (the
        // prepared statement through the same driver plus the pipe): the
        // same ODBC calls (an execution, two fetches, a close) and the one
        // round trip done by a process of its own at the end of a pipe,
        // which puts a third process on the way; and our own code, the
        // rest.
        double floor = fb.median_us + p.median_us;
        double child = summarise(floor_b_child).median_us;
        std::printf(
            "squid helper, fast path against the driver's floor (prepared statement %.1f us + "
            "pipe %.1f us = %.1f us): %.1f us more: %.1f us for the statement served by a process "
            "of its own (floor (b) in a child: %.1f us, %.2f of basic_db_auth), %.1f us our own "
            "code\n",
            fb.median_us, p.median_us, floor, sf.median_us - floor, child - floor, child,
            pr.median_us > 0 ? child / pr.median_us : 0, sf.median_us - child);
    }

    if (login_count > 0) checkpassword_logins(world, binary, users, login_count, rng);

    if (cache_entries > 0) cache_memory(world, binary, cache_entries, rng);

    if (memory_checks > 0) {
        qmtest::child_session session(binary, world.authenticator_options());
        pid_t pid = -1;
        long after_first = -1;
        for (long i = 1; i <= std::max(memory_checks, 1000L); ++i) {
            if (!ask(session, line_for(users[pick(rng)])))
                throw std::runtime_error("check refused during the memory run");
            if (i == 1) pid = find_authenticator(binary);
            if (i == 1000) after_first = resident_kib(pid);
        }
        long after_all = resident_kib(pid);
        session.finish();
        long growth = after_all - after_first;
        std::printf(
            "resident size: %ld KiB after 1000 checks, %ld KiB after %ld (growth %ld KiB, goal "
            "at most 1024: %s)\n",
            after_first, after_all, memory_checks, growth, growth <= 1024 ? "met" : "missed");
    }
    return 0;
}
