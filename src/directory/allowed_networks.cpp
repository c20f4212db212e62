#include "directory/allowed_networks.h"

namespace {

constexpr std::string_view separators = ", \t";

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
        const std::optional<address_network> network = read_network(text);
        if (!network || mapped_past_ipv4(*network)) return {networks_verdict::unreadable, entry};
        listed = true;
        inside = inside || (client && in_network(*client, *network));
        if (end == std::string_view::npos) break;
        at = end;
    }
    return {!listed || inside ? networks_verdict::inside : networks_verdict::outside, 0};
}
