// checkpassword, the qmail interface that Dovecot offers as a passdb and
// userdb: one process per login reads "user\0password\0timestamp\0" from
// descriptor 3 and, when the login is right, sets the environment its caller
// expects and execs the program named after it (Dovecot's
// checkpassword-reply); otherwise it exits 1 (refused), 111 (the database
// cannot answer) or 2 (called wrongly). With AUTHORIZED=1 (Dovecot's
// userdb-only call) it looks the user up without a password: 3 when unknown,
// AUTHORIZED=2 for the program on success.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "module/auth_module.h"

// Most that descriptor 3 may carry.
constexpr std::size_t checkpassword_input_limit = 512;

struct checkpassword_input {
    std::string user, password;
};

// What descriptor 3 carried: a user and a password, each ended by a NUL,
// then an optional timestamp and anything else; at most 512 bytes. Absent
// when it is not that.
std::optional<checkpassword_input> parse_checkpassword_input(std::string_view data);

using environment_list = std::vector<std::pair<std::string, std::string>>;

// The variables a login sets for the program, from the record of the "+OK"
// line and the mail uid: USER, the userdb_* fields Dovecot understands and
// EXTRA naming them. Absent when a value holds a control character, which
// the program's reply could not carry.
std::optional<environment_list> checkpassword_environment(const auth_result& record, long uid);

// Serves one login and execs `program`, or returns the exit status.
int serve_checkpassword(auth_module_table& table, const std::vector<std::string>& program,
                        int answer_fd);

// -check's part: the program must be one that can be run; a found user's
// record is shown as the variables a login would set.
void check_checkpassword(const std::vector<std::string>& program, const auth_result* found,
                         std::vector<std::string>& problems);
