// The ODBC user directory: the back end behind the module table. It keeps
// the settings read from the ini file, opens the one connection at start-up
// and answers check and lookup from the user table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dbwrap/odbc_settings.h"
#include "dbwrap/row_values.h"
#include "module/auth_module.h"

extern odbc_settings_record odbc_settings;

// The given table (the front end's: command names and its own help) with
// every slot of the directory filled in.
auth_module_table directory_auth_module(auth_module_table table);

// The module entries.
int directory_init();
int directory_load(const char* key, const char* value);
int directory_start();
int directory_exit(command_words& words);
void directory_cleanup();
auth_result* directory_check(command_words& words);
auth_result* directory_lookup(command_words& words);
// 1 when the last check or lookup was refused because the database could
// not answer: it was not reached (and the cache had nothing to stand in),
// or its statement failed (a table or column gone, a file that is no
// database). 0 for a refusal by the data: no row, a value refused.
int directory_unavailable();
// The quiet moments (the module table's idle): the counters written once
// they changed and their interval has passed.
int directory_idle();
// The configuration check's part of the directory: the two column settings
// it needs, the connection, and every column of the check and lookup
// statements looked for in the catalog. Each problem in plain words naming
// the ini key to mend; 1 when connected.
int directory_check_settings(std::vector<std::string>& problems);
// Whether the user column could hold the name, the default domain attached
// (the module table's name_fits); the column's size is read from the
// catalog when first asked.
int directory_name_fits(const std::string& name);
void directory_forget_name_room();
// The keys the ini file gave that have no effect, one note each.
void directory_setting_notes(std::vector<std::string>& notes);

// Reads odbc_mail_uid into the uid of the answers; a setting that is no uid
// is one error line and uid 0.
void set_mail_uid();

// The texts of the check and lookup statements the settings make.
std::vector<std::string> directory_statement_texts();

// The columns to select, in a fixed order whatever the order of the ini
// file: user name, password, then forward, quota, mail mask, mail drop, mail
// host and allowed networks for those that are set. Positions in the row store follow this order.
std::string directory_select_list(const odbc_settings_record& settings);

// Fills the process's result record from the row store.
auth_result* build_auth_result(const row_value_table& values);

// A dotted address or mask read field by field, each field's leading
// number shifted in by one byte: "192.168.1.10" reads as its 32-bit address,
// "0", "0.0.0.0" and "*.*.*.*" as 0.
std::uint32_t ip_mask_value(const std::string& text);
// An address passes a mask when every bit set in the mask is set in it.
bool ip_mask_passes(std::uint32_t address, std::uint32_t mask);

// Without default_pass_scheme: the row's password (CHAR padding aside)
// against the given one, byte for byte and in constant time.
bool same_stored_password(const std::optional<std::string>& stored, const std::string& given);
