// A client's address as the throttle and the failure lines see it: read from
// the text the mail server gives, written back in one canonical form, cut to
// the prefix the throttle counts, and held against trusted networks. IPv4
// addresses live in IPv6's mapped form (::ffff:a.b.c.d), so that one
// 16-byte key serves both, and a mapped address is the IPv4 client it names.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct client_address {
    std::array<std::uint8_t, 16> bytes{};
    bool v4 = false;
    bool operator==(const client_address& other) const { return bytes == other.bytes; }
};

// A dotted IPv4 address or an IPv6 address in any form inet_pton reads;
// nothing else (no blanks, no zone, no port, no host name).
std::optional<client_address> read_client_address(std::string_view text);

// IPv4 dotted, IPv6 as inet_ntop writes it (RFC 5952): letters, digits, dots
// and colons only, so that the text can stand in a log line unescaped.
std::string address_text(const client_address& address);

// A network: its first address and how many leading bits count, out of the
// 128 of the mapped form (an IPv4 /8 is 104 of them).
struct address_network {
    client_address base;
    unsigned bits = 128;
};

// "10.0.0.0/8", "2001:db8::/32", or an address alone (all its bits). The
// prefix counts in the form the entry is written in, as other programs read
// CIDR: out of 32 when dotted, out of 128 when with colons, so that
// "::ffff:192.0.2.0/120" is the mapped form of 192.0.2.0/24. Bits beyond the
// prefix are cleared; a prefix above 32 (dotted) or 128 is no network.
std::optional<address_network> read_network(std::string_view text);

bool in_network(const client_address& address, const address_network& network);

// An IPv4-mapped address written with colons and a prefix below 96 (a
// dotted entry always keeps 96 bits at least): "::ffff:10.0.0.0/8" is ::/8,
// every IPv4 client and more, where 10.0.0.0/8 was surely meant. A list
// that would trust or allow them all by that slip refuses the entry instead.
inline bool mapped_past_ipv4(const address_network& network) {
    return network.bits < 96 && network.base.v4;
}

// The address with every bit past the first `bits` of the 128 cleared.
client_address address_prefix(const client_address& address, unsigned bits);

// What the throttle counts an address as: an IPv4 address whole, an IPv6
// address by its first ipv6_bits; written as the address, or as
// "2001:db8:1:2::/64" for a cut IPv6 prefix.
address_network counted_network(const client_address& address, unsigned ipv6_bits);
std::string network_text(const address_network& network);
