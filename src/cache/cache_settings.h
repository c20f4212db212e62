// The answer cache's settings, read from the directory's ini keys: how long
// a right answer and a refusal are kept, how many users are kept, and how
// long past its expiry an answer may still serve while the database fails,
// and how long a failed database is not asked what such an answer can give.
#pragma once

#include <cstddef>
#include <cstdint>

struct cache_settings {
    std::uint32_t ttl = 0;           // seconds; 0: no cache at all
    std::uint32_t negative_ttl = 0;  // seconds; 0: refusals are never kept
    std::size_t size = 10000;        // users; the least recently used leaves first
    std::uint32_t stale_ttl = 86400;
    std::uint32_t retry_interval = 0;  // seconds the database rests after it failed
    bool enabled() const { return ttl > 0 && size > 0; }
};

// Stores cache_ttl, cache_negative_ttl, cache_size, cache_stale_ttl or
// cache_retry_interval (any letter case) and answers 1; any other key is left alone and answers 0.
// A value that is not a whole number from 0 to 2147483647 is an error line naming the key, and the
// setting stays as it was.
int cache_load(cache_settings& settings, const char* key, const char* value);
