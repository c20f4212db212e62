#include "cache/cache_settings.h"

#include "config/ascii_text.h"
#include "config/log.h"
#include "config/number_text.h"

namespace {

// The bound keeps every expiry (now + TTL + stale TTL, in nanoseconds) far
// inside the clock's range.
constexpr std::uint32_t largest_value = 2147483647;

bool whole_number(const char* text, std::uint32_t& out) {
    std::optional<long long> value = read_number(text, number_form::digits, 0, largest_value);
    if (value) out = static_cast<std::uint32_t>(*value);
    return value.has_value();
}

}  // namespace

int cache_load(cache_settings& settings, const char* key, const char* value) {
    if (!key || !value) return 0;
    std::uint32_t* seconds = nullptr;
    if (ascii_equal_ignoring_case(key, "cache_ttl"))
        seconds = &settings.ttl;
    else if (ascii_equal_ignoring_case(key, "cache_negative_ttl"))
        seconds = &settings.negative_ttl;
    else if (ascii_equal_ignoring_case(key, "cache_stale_ttl"))
        seconds = &settings.stale_ttl;
    else if (ascii_equal_ignoring_case(key, "cache_retry_interval"))
        seconds = &settings.retry_interval;
    else if (!ascii_equal_ignoring_case(key, "cache_size"))
        return 0;

    std::uint32_t number = 0;
    if (!whole_number(value, number)) {
        error_log("Cache: %s wants a whole number from 0 to %u, not (%s); setting unchanged", key,
                  largest_value, value);
        return 1;
    }
    if (seconds)
        *seconds = number;
    else
        settings.size = number;
    return 1;
}
