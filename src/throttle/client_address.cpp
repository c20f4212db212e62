#include "throttle/client_address.h"

#include <arpa/inet.h>

#include <cstring>

#include "config/number_text.h"

namespace {

// inet_pton wants C text; the longest IPv6 text (with an IPv4 tail) has 45
// characters, so anything longer is no address and is never copied.
constexpr std::size_t longest_text = 45;

}  // namespace

std::optional<client_address> read_client_address(std::string_view text) {
    if (text.empty() || text.size() > longest_text) return std::nullopt;
    char c_text[longest_text + 1];
    std::memcpy(c_text, text.data(), text.size());
    c_text[text.size()] = '\0';
    client_address address;
    unsigned char v4[4];
    if (::inet_pton(AF_INET, c_text, v4) == 1) {
        address.bytes[10] = address.bytes[11] = 0xff;
        std::memcpy(&address.bytes[12], v4, 4);
        address.v4 = true;
        return address;
    }
    if (::inet_pton(AF_INET6, c_text, address.bytes.data()) != 1) return std::nullopt;
    static const std::uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    address.v4 = std::memcmp(address.bytes.data(), mapped, sizeof mapped) == 0;
    return address;
}

std::string address_text(const client_address& address) {
    char text[INET6_ADDRSTRLEN];
    const bool ok = address.v4 ? ::inet_ntop(AF_INET, &address.bytes[12], text, sizeof text)
                               : ::inet_ntop(AF_INET6, address.bytes.data(), text, sizeof text);
    return ok ? text : "-";
}

client_address address_prefix(const client_address& address, unsigned bits) {
    client_address cut = address;
    for (unsigned i = 0; i < 16; ++i) {
        const unsigned first = i * 8;
        if (bits >= first + 8) continue;
        const unsigned keep = bits > first ? bits - first : 0;
        cut.bytes[i] &= static_cast<std::uint8_t>(0xff00u >> keep);
    }
    return cut;
}

std::optional<address_network> read_network(std::string_view text) {
    const std::size_t slash = text.find('/');
    const std::string_view base_text = text.substr(0, slash);
    const std::optional<client_address> base = read_client_address(base_text);
    if (!base) return std::nullopt;
    // Not base->v4: a mapped address written with colons is IPv6 text.
    const bool dotted = base_text.find(':') == std::string_view::npos;
    const unsigned most = dotted ? 32 : 128;
    unsigned bits = most;
    if (slash != std::string_view::npos) {
        const std::optional<long long> prefix =
            read_number(text.substr(slash + 1), number_form::digits, 0, most);
        if (!prefix) return std::nullopt;
        bits = static_cast<unsigned>(*prefix);
    }
    if (dotted) bits += 96;
    return address_network{address_prefix(*base, bits), bits};
}

bool in_network(const client_address& address, const address_network& network) {
    return address_prefix(address, network.bits) == network.base;
}

address_network counted_network(const client_address& address, unsigned ipv6_bits) {
    const unsigned bits = address.v4 ? 128 : ipv6_bits;
    return {address_prefix(address, bits), bits};
}

std::string network_text(const address_network& network) {
    std::string text = address_text(network.base);
    if (!network.base.v4 && network.bits < 128) text += "/" + std::to_string(network.bits);
    return text;
}
