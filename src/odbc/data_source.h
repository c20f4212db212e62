// What the driver manager's ini files say of a data source before any
// connection is made, and the pieces of a connect string: enough to tell
// which driver a connection will reach, and which passwords the texts of a
// connection (its errors, the trace) must never carry.
#pragma once

#include <optional>
#include <string>
#include <vector>

// A key of the data source's section in odbc.ini (the user's, then the
// system's), keys compared as the driver manager compares them; empty when
// there is none.
std::string data_source_setting(const std::string& data_source, const std::string& key);

// The library of the data source's driver: its Driver key, a path itself or
// the name of a driver in odbcinst.ini; empty when neither says.
std::string data_source_driver_library(const std::string& data_source);

// The value of a key of a connect string ("DSN=x;PWD={a;b}}c};"), keys in
// any letter case, braces undone; the first piece of that key.
std::optional<std::string> connect_string_value(const std::string& connect, const std::string& key);

// The passwords a connection made with this connect string uses: its PWD
// or Password piece, and the Password or PWD of the data source it names.
std::vector<std::string> connect_secrets(const std::string& connect);

// Every occurrence of each secret in the text becomes "****", the longest
// secret first.
std::string hide_secrets(const std::string& text, const std::vector<std::string>& secrets);
