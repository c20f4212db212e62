// The keys of the state several front hosts share through Redis: where
// Redis is (shared_redis, a list tried in order), how long a check may wait
// on it, its password, the prefix of our keys, and the secret every host
// holds so that no key or value there carries a user name, an address or a
// password in clear. Read by the directory (the throttle, the flush
// follower), by -flush and by -check alike.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

struct redis_endpoint {
    std::string host;
    int port = 6379;
    std::string text() const { return host + ":" + std::to_string(port); }
};

struct shared_settings {
    std::vector<redis_endpoint> endpoints;  // none: every host keeps its own state
    std::chrono::milliseconds timeout{100};
    std::optional<std::string> password;       // shared_redis_password
    std::optional<std::string> password_file;  // shared_redis_password_file
    std::string prefix = "quillmar:";
    std::optional<std::string> secret_file;
    bool wanted() const { return !endpoints.empty(); }
};

// The fewest bytes the shared secret must have (blanks at its end aside).
inline constexpr std::size_t shortest_shared_secret = 32;

// Stores one of the keys above (any letter case) and answers 1; any other
// key answers 0. A value the key refuses is an error line naming the key,
// and the setting stays as it was.
int shared_settings_load(shared_settings& settings, const char* key, const char* value);

// "host:port" words, blanks or commas between them; "[v6]:port" for an
// IPv6 address. Nothing when a word is not one.
std::optional<std::vector<redis_endpoint>> read_endpoints(const std::string& text);

// A small secret file's bytes, its blanks and line ends at the end dropped,
// read without following a link. Nothing, with the reason in `problem`,
// when it is missing, no regular file, unreadable or larger than a secret.
// `shared_with_others` tells whether group or other may read it.
std::optional<std::string> read_secret_file(const std::string& path, std::string& problem,
                                            bool* shared_with_others = nullptr);

// For -check: what keeps the settings from working, one line each naming
// the key to mend. Nothing when shared_redis is not set.
std::vector<std::string> shared_settings_problems(const shared_settings& settings);
