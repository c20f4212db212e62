// squid's basic-auth helper protocol (auth_param basic program): squid
// writes one request a line, "[channel-ID ]user password[ key-extras]", the
// user and the password URL-escaped, and reads one answer a line: "OK",
// "ERR", or "BH message=..." when no verdict could be had, each after the
// request's channel ID when it carried one. The check itself is the module
// table's, whatever stands behind it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "module/auth_module.h"

struct squid_request {
    // The line could be read as a request; when false, only `channel` may
    // be set.
    bool well_formed = false;
    std::optional<std::string> channel;
    std::string user, password;
    // The first word of key_extras ("%>a": the client's address), for the
    // address mask; absent when squid had none ("-").
    std::optional<std::string> address;
};

// One request line without its line feed. Fields are separated by single
// blanks, so an empty password stays a field of its own. A line of three or
// more fields whose first is a decimal number carries a channel ID (squid
// with concurrency=N sends one on every line); a user name of digits alone
// behind key_extras without concurrency would be read as one.
squid_request parse_squid_request(std::string_view line);

// URL-unescaping as squid's own helpers do it: "%XY" with two hex digits is
// that byte, except "%00", which stays as it is, as does a '%' without two
// hex digits; "%%" is one '%'; '+' is a plus sign.
std::string squid_unescape(std::string_view text);

// The answer line to one request line, line feed included.
std::string squid_answer(auth_module_table& table, std::string_view line);

// Serves squid until its input ends; 0, or 1 when an answer could not be
// written. `program` is unused.
int serve_squid(auth_module_table& table, const std::vector<std::string>& program, int answer_fd);
