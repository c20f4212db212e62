// The state several front hosts share through Redis: the count of failed
// checks per client network (so that a guesser spread over the hosts is
// throttled after the count, not after the count times the hosts) and the
// cache flushes (so that -flush on any host reaches them all). Nothing in
// Redis is in clear: an address, a user and password, a flushed name are
// each a keyed hash (libsodium's BLAKE2b) under a key drawn from the secret
// every host holds; flushed names are further masked by a keyed stream, so
// that even the public hash the local flush file uses cannot be looked up.
// Redis gone costs nothing but the sharing: each call answers "nothing"
// within the timeout, and the callers carry on with their local state.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared_state/redis_link.h"
#include "shared_state/shared_settings.h"

class shared_state {
public:
    // Null, with the reason in `problem`, when the secret cannot be had.
    static std::unique_ptr<shared_state> make(const shared_settings& settings,
                                              std::string& problem);

    // A failed check from a network (its 16 address bytes and prefix length,
    // as the throttle counts it) with this user and password: counted once
    // for every host unless the same pair failed lately, the window begun at
    // the first. Nothing when Redis did not answer.
    struct failure_count {
        std::uint32_t count = 0;
        std::uint32_t seconds_left = 0;  // of the window
    };
    std::optional<failure_count> count_failure(std::string_view network, std::string_view user,
                                               std::string_view password, std::uint32_t window);

    // A flush of the user named by its local hash (0: every entry). False,
    // with the reason, when Redis did not take it. Written by -flush, run by
    // hand, which waits on Redis for a second at least: no check waits on it.
    bool write_flush(std::uint64_t user_hash, std::string& error);

    // The flushes since the last look, by local hash; `all` when they cannot
    // be told apart (too many, Redis emptied, first look after a start
    // without it). Nothing when Redis did not answer. The look made as the
    // process starts (`at_start`) only learns where the flushes stand.
    struct flush_look {
        bool all = false;
        std::vector<std::uint64_t> users;
    };
    std::optional<flush_look> look_flushes(bool at_start = false);

    // Every key this program makes in Redis begins with it.
    const std::string& prefix() const { return prefix_; }

private:
    shared_state(const shared_settings& settings, std::string_view secret,
                 std::optional<std::string> password);
    redis_reply run_script(const std::string& script, std::string& sha,
                           std::vector<std::string> words);

    std::string prefix_;
    redis_link link_;
    unsigned char address_key_[32], print_key_[32], flush_key_[32];
    std::string count_sha_;
    // The flushes seen: Redis's generation, and the random mark of the Redis
    // that counts it (a Redis started empty begins again at 0).
    bool flushes_known_ = false;
    std::uint64_t flushes_seen_ = 0;
    std::string flush_mark_;
};

// The settings the ini file gave, one set per process.
shared_settings& shared_state_settings();
// The process's shared state, made at the first call after the keys were
// read: null when shared_redis is not set or the secret cannot be had (an
// error line, once).
shared_state* shared_state_of_process();
// The settings back to their defaults, the state dropped.
void shared_state_cleanup();
