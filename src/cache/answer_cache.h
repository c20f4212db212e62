// Answers of check and lookup kept per user name, so that a repeated login
// is answered without the database and without the password hash, and a
// known user is still served while the database is away. In memory only;
// when full, the least recently used user leaves first. Refusals are kept
// apart, in a tenth of the room of the answers, so that refusals for
// made-up names push out only refusals.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
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
    // Kept as the row gave it and read at every check, as the mask is.
    std::optional<std::string_view> allow_nets = std::nullopt;
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
    // A refusal kept for a user the database said it does not hold.
    bool user_unknown = false;
};

class answer_cache {
public:
    explicit answer_cache(const cache_settings& settings);
    ~answer_cache();
    answer_cache(const answer_cache&) = delete;
    answer_cache& operator=(const answer_cache&) = delete;

    password_fingerprint fingerprint(std::string_view password) const;

    // Before the database is asked. A check is accepted only with the
    // password remembered as right, and refused only with the last password
    // remembered as wrong, whether a right one is remembered beside it or
    // not: any other password goes to the database, so a new password works
    // at once. The password's fingerprint, made while the user's entry is
    // fetched from memory, comes back for what the database then answers.
    cache_answer check(std::string_view user, std::string_view password,
                       cache_clock::time_point now, password_fingerprint& fingerprint);
    cache_answer lookup(std::string_view user, cache_clock::time_point now);

    // While the database fails: a record up to stale_ttl past its expiry
    // answers (a check only with the password remembered as right); anything
    // else is asked, which the caller answers with its refusal. The first
    // such answer of an outage writes one error line.
    cache_answer check_stale(std::string_view user, const password_fingerprint& password,
                             cache_clock::time_point now);
    cache_answer lookup_stale(std::string_view user, cache_clock::time_point now);

    // What the database answered. check_refused is for a password the
    // database or the stored value really refused, never for a value that
    // could not be verified. With user_unknown (the row is known to be
    // missing) it forgets the right password at once; without it (a wrong
    // password, or no row when the database compared the password itself) a
    // right password stays remembered until it expires.
    void checked(std::string_view user, const cached_record& record,
                 const password_fingerprint& password, cache_clock::time_point now);
    void check_refused(std::string_view user, const password_fingerprint& password,
                       bool user_unknown, cache_clock::time_point now);
    void looked_up(std::string_view user, const cached_record& record, cache_clock::time_point now);
    void lookup_refused(std::string_view user, cache_clock::time_point now);

    // The database answered a command (found or not): ends an outage with
    // one error line if stale answers were given.
    void database_answered();

    // A server that takes connections and never answers costs every command
    // that asks it the whole deadline, and the mail server's later commands
    // wait behind it. So after a failure the database rests for the retry
    // interval: what an expired entry can answer is answered without asking
    // it again, anything else still asks (and a success ends the rest).
    void database_failed(cache_clock::time_point now);
    bool database_resting(cache_clock::time_point now) const { return now < resting_until_; }

    // Drops every entry that `drop` picks by its key (the name asked) or by
    // the user name of its kept record (the row's own, absent when the entry
    // keeps refusals alone), or every entry without `drop`: quillmar -flush,
    // after a password changed in the table. A database that takes other
    // spellings for the same row (trailing blanks, letter case) keeps one
    // entry per spelling, all with the same record. Returns how many left.
    std::size_t forget_where(const std::function<bool(std::string_view key,
                                                      std::optional<std::string_view> user)>& drop);

    // Users kept, answers and refusals together.
    std::size_t size() const { return logs_[answers].count + logs_[refusals].count; }

private:
    enum class record_state : std::uint8_t { none, found, unknown };

    // Entries are named by their place in entries_. A hit should read
    // little besides its own entry, which seldom is in the processor's cache
    // (in a busy mail server other processes run between two commands): one
    // bucket, open addressed, holds the hash beside the entry's place, and the
    // order of use is a log appended to, not a list whose neighbours a hit
    // would have to rewrite.
    using slot = std::uint32_t;
    static constexpr slot no_slot = ~slot{0};
    struct bucket {
        std::uint32_t hash = 0;  // of the key; its low bits pick the first bucket to try
        slot place = no_slot;
    };
    // A use of an entry; it counts only while it is the entry's latest.
    // Stamps only grow (until all are renumbered at once), so a use left in
    // the other log by an entry that moved never counts again.
    struct use {
        slot place;
        std::uint32_t stamp;
    };
    // Entries holding an answer (a right password, a found row) and those
    // holding nothing but refusals leave in separate orders of use, each
    // within its own room.
    enum pool : std::uint8_t { answers, refusals };
    struct use_log {
        std::vector<use> uses;  // oldest first, from first on
        std::size_t first = 0;
        std::size_t count = 0;  // entries of the pool
    };

    // An entry's texts; up to the size of the room inside the entry they
    // need no block of their own, so that a hit reads one place.
    class entry_text {
    public:
        std::string_view view() const { return {data(), size_}; }
        void cut(std::size_t size) { size_ = static_cast<std::uint32_t>(size); }
        void reserve(std::size_t size);
        void append(std::string_view text);

    private:
        const char* data() const { return heap_ ? heap_.get() : room_; }
        char* data() { return heap_ ? heap_.get() : room_; }
        std::unique_ptr<char[]> heap_;
        std::uint32_t size_ = 0, capacity_ = sizeof room_;
        char room_[96];
    };

    // One user: the key, then the record's texts (a user name as stored that
    // equals the key is kept once), the password last found right and the
    // one last found wrong.
    struct entry {
        cache_clock::time_point record_until, right_until, wrong_until;
        password_fingerprint right, wrong;
        std::array<std::uint32_t, 6> lengths{};  // key, user, mask, drop, options, networks
        record_state record = record_state::none;
        bool has_right = false, has_wrong = false;
        pool in = answers;
        bool user_is_key = false;
        std::uint8_t present = 0;  // bits: mail mask, mail drop, options, networks
        std::uint32_t hash = 0;
        std::uint32_t stamp = 0;  // of the entry's latest use; 0 while the entry is free
        entry_text text;

        std::string_view key() const { return text.view().substr(0, lengths[0]); }
    };

    std::uint32_t hash_of(std::string_view user) const;
    std::size_t home_of(std::uint32_t hash) const { return hash & (buckets_.size() - 1); }
    slot find(std::string_view user, std::uint32_t hash) const;
    void prefetch(std::uint32_t hash) const;
    slot find_alive(std::string_view user, std::uint32_t hash, cache_clock::time_point now);
    slot find_or_add(std::string_view user, pool in);
    void place_in_bucket(slot s);
    void remove(slot s);
    void grow_buckets();
    void touch(slot s);
    void used(slot s);
    bool settle(slot s);
    void compact_uses(use_log& log);
    void renumber_uses();
    void evict_oldest(pool in);
    void forget_user(entry& e, cache_clock::time_point now);
    bool alive(const entry& e, cache_clock::time_point now) const;
    void store_record(entry& e, const cached_record& record);
    cached_record record_of(const entry& e) const;
    static bool same_password(const password_fingerprint& kept,
                              const password_fingerprint& password);
    cache_answer accepted(slot s);
    cache_answer refused(slot s);
    void note_stale_answer();

    cache_settings settings_;
    cache_clock::duration ttl_, negative_ttl_, stale_ttl_, retry_;
    cache_clock::time_point resting_until_{};
    std::array<unsigned char, 16> hash_key_{};
    std::array<unsigned char, 32> fingerprint_key_{};
    std::deque<entry> entries_;  // never shrinks: left entries wait in free_
    std::vector<slot> free_;
    std::vector<bucket> buckets_;
    std::size_t bucket_limit_ = 0;
    std::array<std::size_t, 2> room_{};  // of each pool
    std::array<use_log, 2> logs_;
    std::uint32_t last_stamp_ = 0;
    bool outage_ = false;
    std::uint64_t stale_answers_ = 0;
};
