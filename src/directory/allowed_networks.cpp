#include "directory/allowed_networks.h"

#include "config/number_text.h"

namespace {

constexpr std::string_view separators = ", \t";

// The throttle's reader takes "::ffff:192.0.2.0" for the IPv4 address and
// so refuses its IPv6 prefix /120; here an entry's prefix counts in the
// family it is written in.
std::optional<address_network> read_listed_network(std::string_view text) {
    const std::size_t slash = text.find('/');
    const std::string_view base_text = text.substr(0, slash);
    const std::optional<client_address> base = read_client_address(base_text);
    if (!base) return std::nullopt;
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

}  // namespace

networks_answer match_allowed_networks(std::string_view list,
                                       const std::optional<client_address>& client) {
    bool listed = false, inside = false;
    std::size_t entry = 0;
    for (std::size_t at = list.find_first_not_of(separators); at != std::string_view::npos;
         at = list.find_first_not_of(separators, at)) {
        const std::size_t end = list.find_first_of(separators, at);
        const std::string_view text =
            list.substr(at, end == std::string_view::npos ? end : end - at);
        ++entry;
        const std::optional<address_network> network = read_listed_network(text);
        if (!network) return {networks_verdict::unreadable, entry};
        listed = true;
        inside = inside || (client && in_network(*client, *network));
        if (end == std::string_view::npos) break;
        at = end;
    }
    return {!listed || inside ? networks_verdict::inside : networks_verdict::outside, 0};
}
