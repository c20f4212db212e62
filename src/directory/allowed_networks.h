// The networks a user may check from: the column field_allow_nets, as
// Dovecot's allow_nets, beside the mask that reads dotted IPv4 alone. The
// list is the row's text, read at every check, so that a cached accept
// meets each new client address as the database's would.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "throttle/client_address.h"

enum class networks_verdict {
    inside,      // the address is in a listed network, or nothing is listed
    outside,     // networks are listed and the address is in none of them
    unreadable,  // an entry is no network: the check is refused whatever the address
};

struct networks_answer {
    networks_verdict verdict = networks_verdict::inside;
    std::size_t entry = 0;  // the first unreadable entry, counted from 1
};

// The list: networks in CIDR form, IPv4 or IPv6 ("192.0.2.0/24, 2001:db8::/32,
// ::1"), separated by commas or blanks; an address alone is all its bits. An
// IPv4 network holds the IPv4-mapped IPv6 forms of its addresses. The whole
// list is read whatever matched first, so that a bad entry refuses every
// client alike. `client` is the given address when it is one; a given text
// that is none lies outside every network.
networks_answer match_allowed_networks(std::string_view list,
                                       const std::optional<client_address>& client);
