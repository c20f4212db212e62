// The process's counters: what its checks and lookups came to, where the
// answers came from, what the database and the password hashes cost. Plain
// integers of this process, bumped by the layers that see each event (the
// directory, the database wrapper) and read only when they are written out.
// Every bump happens on the main thread: the command deadline's watchdog
// thread bumps nothing, so no counter needs to be atomic.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

// How a check was answered. The answer itself never tells a wrong password
// from an unknown user; the counters do. `throttled` is for a check refused
// by the failure throttle without the database or the hash; `failed` for one
// that got no verdict (the database not reached, a failed statement, an
// internal fault).
enum class counted_check : std::uint8_t {
    ok,
    wrong_password,
    unknown_user,
    mask,
    refused_value,
    throttled,
    failed,
    count
};
enum class lookup_outcome : std::uint8_t { found, not_found, refused_value, failed, count };
// An answer from the answer cache: a live entry, an expired one while the
// database fails, a kept refusal.
enum class cache_source : std::uint8_t { fresh, stale, negative, count };
// A flush of quillmar -flush carried out on this process's cache.
enum class flush_scope : std::uint8_t { user, all, count };
enum class rehash_outcome : std::uint8_t { written, changed_meanwhile, failed, count };

// Upper bounds of the query time's buckets, in nanoseconds; +Inf besides.
inline constexpr std::array<std::uint64_t, 18> query_bucket_bounds = {
    25'000,      50'000,      100'000,       250'000,       500'000,       1'000'000,
    2'500'000,   5'000'000,   10'000'000,    25'000'000,    50'000'000,    100'000'000,
    250'000'000, 500'000'000, 1'000'000'000, 2'500'000'000, 5'000'000'000, 10'000'000'000};

// Time in the hash of one scheme; the name is a fixed text of the schemes.
struct scheme_hash_counts {
    const char* scheme = nullptr;
    std::uint64_t hashes = 0, nanoseconds = 0;
};

template <typename Outcome>
using by = std::array<std::uint64_t, static_cast<std::size_t>(Outcome::count)>;

struct process_counters {
    by<counted_check> checks{};
    by<lookup_outcome> lookups{};
    by<cache_source> cache_answers{};
    by<flush_scope> cache_flushes{};
    // Each bucket by itself (not cumulative), the last one +Inf.
    std::array<std::uint64_t, query_bucket_bounds.size() + 1> query_buckets{};
    std::uint64_t query_nanoseconds = 0, query_failures = 0;
    std::uint64_t reconnections = 0, reconnections_failed = 0;
    std::uint64_t deadlines_passed = 0, deadline_cuts = 0;
    // Schemes past the room are counted under "other".
    std::array<scheme_hash_counts, 24> hashes{};
    scheme_hash_counts other_hashes{"other"};
    by<rehash_outcome> rehashes{};
};

extern process_counters process_stats;

template <typename Outcome>
inline void count_in(by<Outcome>& counts, Outcome outcome) {
    ++counts[static_cast<std::size_t>(outcome)];
}
inline void count_check(counted_check outcome) { count_in(process_stats.checks, outcome); }
inline void count_lookup(lookup_outcome outcome) { count_in(process_stats.lookups, outcome); }
inline void count_cache_answer(cache_source source) {
    count_in(process_stats.cache_answers, source);
}
inline void count_rehash(rehash_outcome outcome) { count_in(process_stats.rehashes, outcome); }

// One query of the user table, reconnection included.
void count_query(std::chrono::nanoseconds took, bool failed);
// One hash of a password (a verification, the unknown user's dummy, a value
// made for a rewrite) in the scheme that `scheme` names.
void count_hash(const char* scheme, std::chrono::nanoseconds took);

// The counters in Prometheus's text exposition format (version 0.0.4): a
// HELP and a TYPE line for every family, then its samples; histogram
// buckets cumulative, +Inf, _sum and _count.
std::string counters_text(const process_counters& counters);
