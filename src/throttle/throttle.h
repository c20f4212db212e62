// The throttle of password guessers: an address (an IPv6 network by its
// prefix) whose checks failed auth_failure_limit times within the window is
// refused at once, before the database and the hash, until the window has
// passed again. The counts live in failure_table's file, which every
// authenticator process on the machine maps, so a guesser who spreads his
// tries over the processes a mail server starts is counted once. A file
// removed, replaced or cut short under running processes is noticed within
// a tenth of a second (a cut page at its first touch, see mapping_guard.h)
// and made again; one that cannot be had leaves checks unthrottled, with an
// error line. With shared_redis, each failure is counted in Redis as well
// (one round trip, only on the failure path): once the count of every host
// together reaches the limit, the local table throttles the address for the
// rest of the shared window, so a guesser spread over the hosts meets the
// throttle at his first try on each after the limit, and refusals still cost
// no round trip.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "throttle/client_address.h"
#include "throttle/failure_table.h"
#include "throttle/mapping_guard.h"

class shared_state;

struct throttle_settings {
    failure_rules rules;  // limit 0: no throttle
    unsigned ipv6_bits = 64;
    std::vector<address_network> trusted;
    std::string table_path = "/run/quillmar/auth-failures";
    bool enabled() const { return rules.limit > 0 && rules.window > 0; }
};

// Stores auth_failure_limit, auth_failure_ipv6_prefix, auth_trusted_networks
// or auth_failure_table (any letter case) and answers 1; any other key
// answers 0. A value the key refuses is an error line naming the key, and
// the setting stays as it was.
int throttle_load(throttle_settings& settings, const char* key, const char* value);

class failure_throttle {
public:
    // Maps the table now (making it when there is none).
    explicit failure_throttle(const throttle_settings& settings);
    ~failure_throttle();
    failure_throttle(const failure_throttle&) = delete;
    failure_throttle& operator=(const failure_throttle&) = delete;

    // Before anything is asked: whether a check from the address is refused
    // at once. Trusted networks never are.
    bool refuses(const client_address& address);
    // A check from the address failed through the client (a wrong password,
    // an unknown user, the address mask), with this user and password.
    void failed(const client_address& address, std::string_view user, std::string_view password);

    bool trusted(const client_address& address) const;

private:
    bool attached(std::uint64_t now_ms);
    void attach(bool replacing);
    void detach();
    enum class opened { yes, missing, unusable, refused };
    opened open_table(std::string& unusable);
    enum class made { yes, exists, failed };
    made make_table(bool replace);
    void take(void* map, const struct stat& file);
    void report(const std::string& problem);
    void log_end(const ended_throttle& ended) const;
    void sweep(std::uint32_t now);
    void count_shared(const address_network& network, std::string_view user,
                      std::string_view password, std::uint32_t now);

    throttle_settings settings_;
    shared_state* shared_ = nullptr;  // the process's, when shared_redis is set
    void* map_ = nullptr;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    std::unique_ptr<mapping_guard> guard_;
    std::unique_ptr<failure_table> table_;
    std::uint64_t next_look_ms_ = 0;
    std::uint32_t swept_second_ = 0, next_sweep_ = 0;
    std::string reported_;  // the last problem with the file, said once
};
