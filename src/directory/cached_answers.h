// The directory's side of the answer cache: the one cache of the process,
// made at start-up when cache_ttl is set, the flushes of quillmar -flush it
// follows, and the records copied between it and the result record.
#pragma once

#include <optional>
#include <string>

#include "cache/answer_cache.h"
#include "module/auth_module.h"

// Stores one of the cache keys; false when the key is not one of them.
bool cache_key_load(const char* key, const char* value);
// Makes the cache (its keys random from now on) when cache_ttl is set.
void cache_start();
void cache_cleanup();

// Before a command: drops what quillmar -flush named since the last look at
// cache_flush_path (looked at no more than ten times a second).
void cache_follow_flushes(cache_clock::time_point now);

// The cache, or null when there is none.
answer_cache* directory_cache();

// The fields of a result record the cache keeps, and back, with the row's
// allowed networks (the directory's own, beside the record): the stored
// password is neither kept nor given back, since no answer shows it.
cached_record cache_record_of(const auth_result& result,
                              const std::optional<std::string>& allow_nets);
void fill_from_cache(auth_result& result, std::optional<std::string>& allow_nets,
                     const cached_record& record);
