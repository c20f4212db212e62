#include "directory/cached_answers.h"

#include <algorithm>
#include <memory>
#include <optional>

#include "config/ini.h"
#include "config/log.h"
#include "flush/cache_flush.h"
#include "stats/counters.h"

namespace {

cache_settings settings;
std::unique_ptr<answer_cache> cache;
std::optional<flush_follower> flushes;

std::optional<std::string_view> view_of(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    return std::string_view(*text);
}

std::optional<std::string> text_of(const std::optional<std::string_view>& view) {
    if (!view) return std::nullopt;
    return std::string(*view);
}

}  // namespace

bool cache_key_load(const char* key, const char* value) {
    return cache_load(settings, key, value) != 0;
}

void cache_start() {
    cache.reset();
    flushes.reset();
    if (!settings.enabled()) return;
    cache = std::make_unique<answer_cache>(settings);
    flushes.emplace(cache_flush_path, cache_clock::now());
}

void cache_cleanup() {
    flushes.reset();
    cache.reset();
    settings = cache_settings{};
}

void cache_follow_flushes(cache_clock::time_point now) {
    if (!flushes || !flushes->due(now)) return;
    flush_news news = flushes->look(now);
    if (!news.any()) return;
    if (news.all) {
        const std::size_t dropped = cache->forget_where(nullptr);
        count_in(process_stats.cache_flushes, flush_scope::all);
        debug_log("...Cache flushed (quillmar -flush): every entry, %zu", dropped);
        return;
    }
    std::sort(news.users.begin(), news.users.end());
    auto named = [&](std::string_view name) {
        return std::binary_search(news.users.begin(), news.users.end(), flush_user_hash(name));
    };
    // By the row's own name too: the database may have taken the name asked
    // (trailing blanks, other letter case) for that row.
    const std::size_t dropped =
        cache->forget_where([&](std::string_view key, std::optional<std::string_view> user) {
            return named(key) || (user && named(*user));
        });
    process_stats.cache_flushes[static_cast<std::size_t>(flush_scope::user)] += news.users.size();
    debug_log("...Cache flushed (quillmar -flush): %zu entries for %zu users", dropped,
              news.users.size());
}

answer_cache* directory_cache() { return cache.get(); }

cached_record cache_record_of(const auth_result& result,
                              const std::optional<std::string>& allow_nets) {
    return {result.user ? std::string_view(*result.user) : std::string_view(),
            view_of(result.mailmask), view_of(result.maildrop), view_of(result.options),
            view_of(allow_nets)};
}

void fill_from_cache(auth_result& result, std::optional<std::string>& allow_nets,
                     const cached_record& record) {
    empty_auth_result(result);
    result.user = std::string(record.user);
    result.mailmask = text_of(record.mailmask);
    result.maildrop = text_of(record.maildrop);
    result.options = text_of(record.options);
    allow_nets = text_of(record.allow_nets);
}
