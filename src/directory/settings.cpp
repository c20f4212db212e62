// The directory's settings and its connection at start-up.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "config/ascii_text.h"
#include "config/ini.h"
#include "config/log.h"
#include "dbwrap/db_connection.h"
#include "dbwrap/db_query.h"
#include "dbwrap/secret_column.h"
#include "dbwrap/write_source.h"
#include "directory/cached_answers.h"
#include "directory/check_report.h"
#include "directory/directory.h"
#include "directory/passwords.h"
#include "shared_state/shared_state.h"
#include "stats/stats_files.h"

odbc_settings_record odbc_settings;

namespace {

struct setting_key {
    const char* name;
    std::optional<std::string> odbc_settings_record::*field;
};

// In the record's order; the first match wins.
const setting_key setting_keys[] = {
    {"odbc_server", &odbc_settings_record::odbc_server},
    {"odbc_login", &odbc_settings_record::odbc_login},
    {"odbc_password", &odbc_settings_record::odbc_password},
    {"odbc_mail_user_db", &odbc_settings_record::odbc_mail_user_db},
    {"odbc_mail_user_table", &odbc_settings_record::odbc_mail_user_table},
    {"odbc_mail_uid", &odbc_settings_record::odbc_mail_uid},
    {"odbc_driver_name", &odbc_settings_record::odbc_driver_name},
    {"odbc_write_dsn", &odbc_settings_record::odbc_write_dsn},
    {"field_username", &odbc_settings_record::field_username},
    {"field_password", &odbc_settings_record::field_password},
    {"field_forward", &odbc_settings_record::field_forward},
    {"field_quota", &odbc_settings_record::field_quota},
    {"field_mailmask", &odbc_settings_record::field_mailmask},
    {"field_maildrop", &odbc_settings_record::field_maildrop},
    {"field_mail_host", &odbc_settings_record::field_mail_host},
    {"field_allow_nets", &odbc_settings_record::field_allow_nets},
    {"odbc_fast_path", &odbc_settings_record::odbc_fast_path},
};

// Keys kept so that older ini files still load: the data source names the
// server and the database, so they change nothing, and -check says so.
struct key_without_effect {
    const char* name;
    const char* named_by_the_data_source;
};
const key_without_effect keys_without_effect[] = {
    {"odbc_server", "server"},
    {"odbc_mail_user_db", "database"},
};
// Those the ini file gave, in the order met.
std::vector<const key_without_effect*> given_without_effect;

void note_if_without_effect(const char* key) {
    for (const key_without_effect& k : keys_without_effect)
        if (ascii_equal_ignoring_case(key, k.name) &&
            std::find(given_without_effect.begin(), given_without_effect.end(), &k) ==
                given_without_effect.end())
            given_without_effect.push_back(&k);
}

// " (field_password)": the keys that name a column, so that a problem with
// it says which line of the ini file to mend.
std::string keys_naming(const std::string& column) {
    std::string keys;
    for (const setting_key& k : setting_keys) {
        if (std::strncmp(k.name, "field_", 6) != 0 || odbc_settings.*k.field != column) continue;
        keys += keys.empty() ? " (" : ", ";
        keys += k.name;
    }
    return keys.empty() ? keys : keys + ")";
}

// The check and lookup statements share their columns; each problem is said once.
void add_once(std::vector<std::string>& problems, const std::string& text) {
    if (std::find(problems.begin(), problems.end(), text) == problems.end())
        problems.push_back(text);
}

}  // namespace

namespace {

// The write source as a rehash would meet it: it connects, and the table
// holds the user and password columns the write names.
void check_write_source(std::vector<std::string>& problems) {
    if (!odbc_settings.odbc_write_dsn) return;
    const std::string source = *odbc_settings.odbc_write_dsn;
    db_set_write_source(odbc_settings.odbc_write_dsn, odbc_settings.odbc_login,
                        odbc_settings.odbc_password);
    if (!db_open_write_source()) {
        problems.push_back(
            "cannot connect to data source '" + source + "' (odbc_write_dsn)" +
            (odbc_settings.odbc_login ? " as '" + *odbc_settings.odbc_login + "'" : "") + ": " +
            db_write_source_failure());
        return;
    }
    if (!odbc_settings.field_username || !odbc_settings.field_password) return;
    const std::string table = odbc_settings.odbc_mail_user_table.value_or("(null)");
    column_report report = db_check_columns(directory_statement_texts().front(), true);
    if (!report.failure.empty())
        add_once(problems, "cannot list the columns of table " + table + " at data source '" +
                               source + "' (odbc_write_dsn): " + report.failure);
    else if (!report.table_found)
        add_once(problems, "data source '" + source + "' (odbc_write_dsn) has no table " + table +
                               " (odbc_mail_user_table)");
    for (const std::string& name : report.missing)
        if (name == *odbc_settings.field_username || name == *odbc_settings.field_password)
            add_once(problems, "table " + table + " at data source '" + source +
                                   "' (odbc_write_dsn) has no column '" + name + "'" +
                                   keys_naming(name));
}

}  // namespace

int directory_init() {
    odbc_settings = odbc_settings_record{};
    odbc_settings.odbc_server = "localhost";
    odbc_settings.odbc_mail_user_db = "maildb";
    odbc_settings.odbc_mail_user_table = "maildb";
    odbc_settings.odbc_driver_name = "quillmar";
    given_without_effect.clear();
    password_cleanup();
    cache_cleanup();
    check_report_cleanup();
    // After the cache and the throttle, which hold the shared state.
    shared_state_cleanup();
    directory_forget_name_room();
    // Every statement of the directory selects the password second.
    db_set_secret_column(1);
    return 1;
}

int directory_load(const char* key, const char* value) {
    if (!key || !value) return 0;
    for (const setting_key& k : setting_keys) {
        if (ascii_equal_ignoring_case(key, k.name)) {
            odbc_settings.*k.field = std::string(value);
            note_if_without_effect(key);
            return 1;
        }
    }
    return password_load(key, value) || cache_key_load(key, value) ||
                   check_report_key_load(key, value) ||
                   shared_settings_load(shared_state_settings(), key, value)
               ? 1
               : 0;
}

int directory_start() {
    if (!odbc_settings.field_username || !odbc_settings.field_password) {
        std::fputs(
            "-DEAD: Database Problem, please try again later (No MySQL "
            "field_username/field_password in ini file)\n",
            stdout);
        return 0;
    }
    if (!db_open(odbc_settings, odbc_settings.odbc_login, odbc_settings.odbc_password)) {
        std::printf(
            "-DEAD: Database Problem, please try again later (Cannot Connect to odbc "
            "driver, %s as %s)\n",
            odbc_settings.odbc_driver_name ? odbc_settings.odbc_driver_name->c_str() : "(null)",
            odbc_settings.odbc_login ? odbc_settings.odbc_login->c_str() : "(null)");
        return 0;
    }
    // Opened at the first write, not here: most processes never write.
    db_set_write_source(odbc_settings.odbc_write_dsn, odbc_settings.odbc_login,
                        odbc_settings.odbc_password);
    db_set_fast_path(odbc_settings.odbc_fast_path &&
                     ascii_equal_ignoring_case(odbc_settings.odbc_fast_path->c_str(), "true"));
    debug_log("...ODBC: Connected to (%s) database driver..",
              odbc_settings.odbc_driver_name ? odbc_settings.odbc_driver_name->c_str() : "(null)");
    password_start();
    cache_start();
    check_report_start();
    if (stats_path)
        stats_start(*stats_path, std::chrono::seconds(stats_interval), stats_clock::now());
    return 1;
}

int directory_check_settings(std::vector<std::string>& problems) {
    // Settings that a start reports only in the log (an unknown password
    // scheme, a uid out of range) would otherwise pass here unseen, and every
    // check fail later.
    std::vector<std::string> setting_errors;
    std::vector<std::string>* outer = divert_log(&setting_errors);
    password_start();
    set_mail_uid();
    divert_log(outer);
    for (const std::string& error : setting_errors) problems.push_back(error);
    // What a start settles on its own, for the administrator to see.
    for (const std::string& line : password_report()) std::printf("%s\n", line.c_str());

    if (std::optional<std::string> problem = check_report_problem()) problems.push_back(*problem);
    for (std::string& problem : shared_settings_problems(shared_state_settings()))
        problems.push_back(std::move(problem));
    if (!odbc_settings.field_username) problems.push_back("field_username is not set");
    if (!odbc_settings.field_password) problems.push_back("field_password is not set");

    const std::string source = odbc_settings.odbc_driver_name.value_or("(null)");
    const std::optional<std::string>& login = odbc_settings.odbc_login;
    if (!db_open(odbc_settings, login, odbc_settings.odbc_password)) {
        problems.push_back("cannot connect to data source '" + source + "'" +
                           (login ? " as '" + *login + "'" : "") + ": " + db_open_failure());
        check_write_source(problems);
        return 0;
    }
    check_write_source(problems);
    if (!odbc_settings.field_username || !odbc_settings.field_password) return 1;

    const std::string table = odbc_settings.odbc_mail_user_table.value_or("(null)");
    for (const std::string& statement : directory_statement_texts()) {
        column_report report = db_check_columns(statement);
        if (!report.failure.empty())
            add_once(problems, "cannot list the columns of table " + table + ": " + report.failure);
        else if (!report.table_found)
            add_once(problems, "data source '" + source + "' has no table " + table +
                                   " (odbc_mail_user_table)");
        for (const std::string& name : report.missing)
            add_once(problems,
                     "table " + table + " has no column '" + name + "'" + keys_naming(name));
    }
    return 1;
}

void directory_setting_notes(std::vector<std::string>& notes) {
    for (const key_without_effect* k : given_without_effect)
        notes.push_back(std::string(k->name) + " has no effect: data source '" +
                        odbc_settings.odbc_driver_name.value_or("(null)") +
                        "' in odbc.ini names the " + k->named_by_the_data_source);
}

int directory_exit(command_words&) { return 1; }

void directory_cleanup() {
    db_release_kept_row();
    // Closed here rather than at the process's end: a protocol that execs
    // another program after its one command would leave the server a
    // connection that drops without a word.
    db_close();
    db_close_write_source();
    db_set_fast_path(false);
    odbc_settings.odbc_server.reset();
    odbc_settings.odbc_login.reset();
    odbc_settings.odbc_password.reset();
    odbc_settings.odbc_mail_user_db.reset();
    odbc_settings.odbc_mail_user_table.reset();
    odbc_settings.odbc_driver_name.reset();
    odbc_settings.odbc_write_dsn.reset();
    odbc_settings.odbc_mail_uid.reset();
    odbc_settings.field_username.reset();
    odbc_settings.field_password.reset();
    odbc_settings.field_forward.reset();
    odbc_settings.field_quota.reset();
    odbc_settings.field_mailmask.reset();
    odbc_settings.field_maildrop.reset();
    odbc_settings.field_mail_host.reset();
    odbc_settings.field_allow_nets.reset();
    odbc_settings.odbc_fast_path.reset();
    password_cleanup();
    cache_cleanup();
    check_report_cleanup();
    shared_state_cleanup();
    stats_finish();
}

auth_module_table directory_auth_module(auth_module_table table) {
    table.load = directory_load;
    table.init = directory_init;
    table.cleanup = directory_cleanup;
    table.start = directory_start;
    table.exit = directory_exit;
    table.check = directory_check;
    table.lookup = directory_lookup;
    table.check_settings = directory_check_settings;
    table.setting_notes = directory_setting_notes;
    table.unavailable = directory_unavailable;
    table.name_fits = directory_name_fits;
    table.idle = directory_idle;
    return table;
}
