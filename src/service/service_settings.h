// The service's own ini keys: the sockets it listens on (Dovecot's
// authentication protocol, Postfix's socketmap, saslauthd's) and their owner and
// mode, the number of workers, the limits that keep one client from
// crowding out the others, and the socketmap's map names. Every other key
// goes on to the back end. A value a key refuses is one error line and
// leaves the setting as it was, as the back end's keys do.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "module/auth_module.h"
#include "service/http_auth.h"

// What a socketmap lookup under a map name answers.
enum class map_answer { maildrop, user, forward };

struct service_settings {
    std::optional<std::string> listen_auth, listen_socketmap, listen_saslauthd;
    // nginx's auth_http: a Unix socket's path or a TCP address:port.
    std::optional<std::string> listen_http;
    http_auth_settings http;
    // Owner, group and mode of the sockets the service makes (not of those
    // systemd hands over); unset: the process's own, and 0660.
    std::optional<std::string> socket_user, socket_group;
    unsigned socket_mode = 0660;
    unsigned workers = 0;  // 0 until settled: the number of CPUs
    std::size_t max_clients = 1000;
    std::size_t max_line = 16384;
    unsigned idle_timeout = 300;  // seconds
    std::size_t max_queue = 1024;
    // Requests of one client waiting for its next step (Postfix and Exim
    // hold one at a time).
    std::size_t max_pending = 16;
    // Seconds a refused check waits in the supervisor before it is
    // answered (Dovecot's auth_failure_delay); 0: none.
    unsigned auth_failure_delay = 2;
    // Map names in the order given; a name given twice keeps its last line.
    std::map<std::string, map_answer> maps;
};

// Readies the settings for an ini file (the defaults) and names the table
// whose load entry takes every key that is not the service's.
void service_settings_begin(auth_module_table& table);
// The ini key handler (load_ini's): 1 when the service or the back end took
// the key.
int service_settings_key(const char* key, const char* value);
// The settings read so far, the worker count settled.
const service_settings& current_service_settings();

// The problems of the settings for -check, in plain words.
void service_settings_problems(const service_settings& settings,
                               std::vector<std::string>& problems);

// The keys a running service cannot change without a restart, with their
// old and new values, for the log of a reload.
std::vector<std::string> settings_needing_restart(const service_settings& before,
                                                  const service_settings& after);

const char* map_answer_name(map_answer answer);
