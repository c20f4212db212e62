// Answers of check and lookup kept per user name, so that a repeated login
// is answered without the database and without the password hash, and a
// known user is still served while the database is away. In memory only;
// when full, the least recently used user leaves first.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cache/cache_settings.h"

using cache_clock = std::chrono::steady_clock;

// A keyed hash of a password under a key made at random with the cache, so
// that what is kept is worth nothing outside this process: never the
// password, never a plain digest of it.
struct password_fingerprint {
    std::array<unsigned char, 32> bytes{};
};

// The fields of a found user that the answer line and the address test
// read; absent fields stay absent, so the answer is the database's byte for
// byte. The stored password is not kept: no answer shows it.
struct cached_record {
    std::string_view user;
    std::optional<std::string_view> mailmask, maildrop, options;
};

enum class cache_verdict {
    ask,     // nothing usable kept: ask the database
    accept,  // the kept record answers (the caller still tests the address)
    refuse,  // a kept refusal answers
};

// An accepted answer's record points into the cache and stays valid until
// the next call that changes the cache.
struct cache_answer {
    cache_verdict verdict = cache_verdict::ask;
    cached_record record;
};

class answer_cache {
public:
    explicit answer_cache(const cache_settings& settings);
    ~answer_cache();
    answer_cache(const answer_cache&) = delete;
    answer_cache& operator=(const answer_cache&) = delete;

    const cache_settings& settings() const { return settings_; }
    password_fingerprint fingerprint(std::string_view password) const;

    // Before the database is asked. A check is accepted only with the
    // password remembered as right, and refused only with the password
    // remembered as wrong while no right one is remembered: any other
    // password goes to the database, so a new password works at once.
    cache_answer check(std::string_view user, const password_fingerprint& password,
                       cache_clock::time_point now);
    cache_answer lookup(std::string_view user, cache_clock::time_point now);

    // While the database fails: a record up to stale_ttl past its expiry
    // answers (a check only with the password remembered as right); anything
    // else is asked, which the caller answers with its refusal. The first
    // such answer of an outage writes one error line.
    cache_answer check_stale(std::string_view user, const password_fingerprint& password,
                             cache_clock::time_point now);
    cache_answer lookup_stale(std::string_view user, cache_clock::time_point now);

    // What the database answered. check_refused with user_unknown (the row
    // is known to be missing) forgets the right password at once; without
    // it (a wrong password, or no row when the database compared the
    // password itself) a right password stays remembered until it expires.
    void checked(std::string_view user, const cached_record& record,
                 const password_fingerprint& password, cache_clock::time_point now);
    void check_refused(std::string_view user, const password_fingerprint& password,
                       bool user_unknown, cache_clock::time_point now);
    void looked_up(std::string_view user, const cached_record& record, cache_clock::time_point now);
    void lookup_refused(std::string_view user, cache_clock::time_point now);

    // The database answered a command (found or not): ends an outage with
    // one error line if stale answers were given.
    void database_answered();

    std::size_t size() const { return count_; }

private:
    enum class record_state : std::uint8_t { none, found, unknown };
    enum class password_state : std::uint8_t { none, right, wrong };

    // One user. The key, the record's texts and their lengths share one
    // string; a user name as stored that equals the key is kept once.
    struct entry {
        entry* newer = nullptr;  // the least recently used list
        entry* older = nullptr;
        entry* next_in_bucket = nullptr;
        std::uint64_t hash = 0;
        cache_clock::time_point record_until, password_until;
        password_fingerprint password;
        record_state record = record_state::none;
        password_state password_kind = password_state::none;
        bool user_is_key = false;
        std::uint8_t present = 0;                // bits: mail mask, mail drop, options
        std::array<std::uint32_t, 5> lengths{};  // key, user, mask, drop, options
        std::string text;

        std::string_view key() const { return std::string_view(text).substr(0, lengths[0]); }
    };

    std::uint64_t hash_of(std::string_view user) const;
    entry* find(std::string_view user, std::uint64_t hash) const;
    entry* find_alive(std::string_view user, cache_clock::time_point now);
    entry& find_or_add(std::string_view user);
    void remove(entry& e);
    void unlink_bucket(entry& e);
    void link_bucket(entry& e);
    void grow_buckets();
    void touch(entry& e);
    void drop_if_dead(entry& e, cache_clock::time_point now);
    void forget_user(entry& e, cache_clock::time_point now);
    bool alive(const entry& e, cache_clock::time_point now) const;
    void store_record(entry& e, const cached_record& record);
    cached_record record_of(const entry& e) const;
    bool same_password(const entry& e, const password_fingerprint& password) const;
    cache_answer accepted(entry& e);
    cache_answer refused(entry& e);
    void note_stale_answer();

    cache_settings settings_;
    cache_clock::duration ttl_, negative_ttl_, stale_ttl_;
    std::array<unsigned char, 16> hash_key_{};
    std::array<unsigned char, 32> fingerprint_key_{};
    std::deque<entry> nodes_;  // never shrinks: left entries wait in free_
    entry* free_ = nullptr;
    std::vector<entry*> buckets_;
    std::size_t bucket_limit_ = 0;
    entry* newest_ = nullptr;
    entry* oldest_ = nullptr;
    std::size_t count_ = 0;
    bool outage_ = false;
    std::uint64_t stale_answers_ = 0;
};
