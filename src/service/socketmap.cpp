#include "service/socketmap.h"

netstring_take take_netstring(std::string_view input, std::size_t limit) {
    netstring_take take;
    std::size_t length = 0, digits = 0;
    for (;;) {
        if (digits == input.size()) return take;
        const char c = input[digits];
        if (c == ':') break;
        if (c < '0' || c > '9' || (digits == 1 && input[0] == '0')) {
            take.status = netstring_status::broken;
            take.broken = "no netstring length";
            return take;
        }
        length = length * 10 + static_cast<std::size_t>(c - '0');
        ++digits;
        if (length > limit) {
            take.status = netstring_status::broken;
            take.broken = "request longer than the limit";
            return take;
        }
    }
    if (digits == 0) {
        take.status = netstring_status::broken;
        take.broken = "no netstring length";
        return take;
    }
    const std::size_t start = digits + 1;
    if (input.size() < start + length + 1) return take;
    if (input[start + length] != ',') {
        take.status = netstring_status::broken;
        take.broken = "netstring without its closing comma";
        return take;
    }
    take.status = netstring_status::complete;
    take.used = start + length + 1;
    take.payload = input.substr(start, length);
    return take;
}

std::string netstring(std::string_view data) {
    return std::to_string(data.size()) + ":" + std::string(data) + ",";
}

std::optional<socketmap_request> parse_socketmap_request(std::string_view payload) {
    const std::size_t blank = payload.find(' ');
    if (blank == std::string_view::npos || blank == 0) return std::nullopt;
    return socketmap_request{std::string(payload.substr(0, blank)),
                             std::string(payload.substr(blank + 1))};
}
