// What becomes of a refused check besides its answer: the failure line that
// fail2ban reads (log_auth_failures), and the throttle of the address that
// keeps failing (auth_failure_limit and its keys); and, before anything is
// asked, whether the address is throttled.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "directory/check_outcome.h"
#include "module/auth_module.h"
#include "throttle/client_address.h"

// Stores log_auth_failures or one of the throttle's keys; false when the key
// is none of them.
bool check_report_key_load(const char* key, const char* value);
// Maps the throttle's table when the throttle is on.
void check_report_start();
void check_report_cleanup();
// For the configuration check: the throttle's table needs its folder.
std::optional<std::string> check_report_problem();

// The client's address, word 3 of the command when it is one.
std::optional<client_address> check_client(const command_words& words);

// Whether the check is refused at once, before the cache, the database and
// the hash; a right password too, or a guesser could go on at the cache's pace.
bool check_throttled(const std::optional<client_address>& client);

// After the check: its failure line, and the throttle's count.
void report_check(check_outcome outcome, const std::optional<client_address>& client,
                  const command_words& words);

// A user name as a failure line writes it: letters, digits and "@._+-" as
// they are, every other byte as \xHH, so that no name can bring a blank, a
// "=" or a line end into the line and make a log reader take part of it for
// a field of its own (the classic "x rip=10.9.9.9").
std::string log_safe_name(std::string_view name);

// The failure line's text (after the process id and time stamp).
std::string failure_line(check_outcome outcome, const std::optional<client_address>& client,
                         std::string_view user);
