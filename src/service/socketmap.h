// Postfix's socketmap protocol, the server's side: each request a netstring
// "<name> <key>", each answer a netstring "OK <value>", "NOTFOUND ",
// "TEMP <reason>" or "PERM <reason>". Parsing and answers only; the service
// reads and writes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

enum class netstring_status { incomplete, complete, broken };

struct netstring_take {
    netstring_status status = netstring_status::incomplete;
    std::size_t used = 0;      // bytes of the input the netstring took
    std::string_view payload;  // its data, within the input
    const char* broken = "";   // why it is no netstring
};

// The first netstring of `input`, "<length>:<data>,": the length in
// decimal digits without a leading zero, at most `limit`. Broken as soon
// as the bytes read can no longer begin one.
netstring_take take_netstring(std::string_view input, std::size_t limit);

// `data` as a netstring.
std::string netstring(std::string_view data);

struct socketmap_request {
    std::string name, key;
};

// "<name> <key>": the name up to the first blank, the key all after it.
// Absent without a blank or with an empty name.
std::optional<socketmap_request> parse_socketmap_request(std::string_view payload);
