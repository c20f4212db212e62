#include "directory/cached_answers.h"

#include <memory>

namespace {

cache_settings settings;
std::unique_ptr<answer_cache> cache;

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
    if (settings.enabled()) cache = std::make_unique<answer_cache>(settings);
}

void cache_cleanup() {
    cache.reset();
    settings = cache_settings{};
}

answer_cache* directory_cache() { return cache.get(); }

cached_record cache_record_of(const auth_result& result) {
    return {result.user ? std::string_view(*result.user) : std::string_view(),
            view_of(result.mailmask), view_of(result.maildrop), view_of(result.options)};
}

void fill_from_cache(auth_result& result, const cached_record& record) {
    empty_auth_result(result);
    result.user = std::string(record.user);
    result.mailmask = text_of(record.mailmask);
    result.maildrop = text_of(record.maildrop);
    result.options = text_of(record.options);
}
