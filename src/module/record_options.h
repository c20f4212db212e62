// The options of a "+OK" record (fwd="..." quota="..."), as the directory
// writes them and the protocols that map them onto their peers' fields read
// them: one reader, so that the squid, checkpassword and service front ends
// agree on what a record holds.
#pragma once

#include <optional>
#include <string>

// The value of one option; the directory lets no double quote into a value,
// so the next quote ends it.
inline std::optional<std::string> record_option(const std::string& options,
                                                const std::string& key) {
    std::size_t at = 0;
    while (at < options.size()) {
        const std::size_t equals = options.find("=\"", at);
        if (equals == std::string::npos) break;
        const std::size_t close = options.find('"', equals + 2);
        if (close == std::string::npos) break;
        if (options.compare(at, equals - at, key) == 0)
            return options.substr(equals + 2, close - equals - 2);
        at = close + 1;
        while (at < options.size() && options[at] == ' ') ++at;
    }
    return std::nullopt;
}
