// The directory's settings, read from the ini file. They live here,
// below the directory, because the connection wrapper builds its connect
// string from the same record the directory fills.
#pragma once

#include <optional>
#include <string>

// Every field is named after the ini key that sets it. Unset fields are
// empty optionals; the directory's init gives four of them their defaults.
struct odbc_settings_record {
    std::optional<std::string> odbc_server;
    std::optional<std::string> odbc_login;
    std::optional<std::string> odbc_password;
    std::optional<std::string> odbc_mail_user_db;
    std::optional<std::string> odbc_mail_user_table;
    std::optional<std::string> odbc_mail_uid;
    std::optional<std::string> odbc_driver_name;
    // The data source of the rehash's write when the checks read from
    // standbys (write_source.h); unset, the write goes to odbc_driver_name.
    std::optional<std::string> odbc_write_dsn;
    std::optional<std::string> field_username;
    std::optional<std::string> field_password;
    std::optional<std::string> field_forward;
    std::optional<std::string> field_quota;
    std::optional<std::string> field_mailmask;
    std::optional<std::string> field_maildrop;
    // The server that holds the user's mail ("host" or "host:port"), for
    // a proxy's answer; carried as the record's host option.
    std::optional<std::string> field_mail_host;
    // The networks a user may check from (as Dovecot's allow_nets), IPv4
    // and IPv6, beside the IPv4 mask.
    std::optional<std::string> field_allow_nets;
    // "true" in any letter case turns the fast path on (db_set_fast_path).
    std::optional<std::string> odbc_fast_path;
};
