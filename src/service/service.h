// The service (-serve): one process in the foreground that holds many
// client connections on Unix sockets (Dovecot's authentication protocol
// for Postfix's and Exim's SMTP AUTH, Postfix's socketmap for its lookups)
// and hands each request to one of N worker processes, each running the
// back end as it is, single-threaded, with its own connection and cache.
// A user name always goes to the same worker. SIGTERM ends it once what is
// queued is answered; SIGHUP reads the ini file again and replaces the
// workers one by one.
#pragma once

#include <string>
#include <vector>

#include "module/auth_module.h"

// Readies the service's settings for reading the ini file into `table`.
void service_begin(auth_module_table& table);
// load_ini's key handler: the service's keys, every other to the table's
// load entry.
int service_ini_key(const char* key, const char* value);
// Serves with the settings read; the exit status (0 after SIGTERM, 1 when
// it could not start). `program` and `config_file` (null: none named) are
// those of the start, for reading the ini file again.
int serve(auth_module_table& table, const char* program, const char* config_file);
// -check -serve: the problems of the service's settings.
void service_check(std::vector<std::string>& problems);
