#include "shared_state/shared_state.h"

#include <hiredis/hiredis.h>
#include <sodium.h>

#include <cstring>
#include <stdexcept>

#include "config/log.h"
#include "shared_state/failure_print.h"

namespace {

// Counts a failure once per user-and-password print, and begins the window
// at the first: KEYS[1] the network's hash, ARGV[1] the print, ARGV[2] the
// window. Returns the count and the seconds left of the window.
const std::string count_script = R"(
local n
if redis.call('HSETNX', KEYS[1], ARGV[1], 1) == 1 then
  n = redis.call('HINCRBY', KEYS[1], 'n', 1)
else
  n = tonumber(redis.call('HGET', KEYS[1], 'n') or '0')
end
local left = redis.call('TTL', KEYS[1])
if left < 0 then
  redis.call('EXPIRE', KEYS[1], ARGV[2])
  left = tonumber(ARGV[2])
end
return {n, left}
)";

// A flush: the generation counted up and its record written in one step, so
// that no reader sees a generation without its record. KEYS[1] the
// generation, KEYS[2] the mark, KEYS[3] the records' stem; ARGV[1] a mark
// for a Redis that has none, ARGV[2] the record, ARGV[3] its life.
const std::string flush_script = R"(
redis.call('SETNX', KEYS[2], ARGV[1])
local g = redis.call('INCR', KEYS[1])
redis.call('SET', KEYS[3] .. g, ARGV[2], 'EX', ARGV[3])
return g
)";

// As many records as the local flush file's ring: a process further behind
// drops every entry. They live an hour, far longer than a process's look.
constexpr std::uint64_t flush_ring = 64;
constexpr int flush_record_seconds = 3600;

std::string hex(const unsigned char* bytes, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

std::optional<std::string> unhex(std::string_view text) {
    if (text.size() % 2) return std::nullopt;
    std::string bytes(text.size() / 2, '\0');
    std::size_t got = 0;
    if (sodium_hex2bin(reinterpret_cast<unsigned char*>(&bytes[0]), bytes.size(), text.data(),
                       text.size(), nullptr, &got, nullptr) != 0 ||
        got != bytes.size())
        return std::nullopt;
    return bytes;
}

void derive(unsigned char (&key)[32], const unsigned char (&master)[32], const char* label) {
    crypto_generichash(key, sizeof key, reinterpret_cast<const unsigned char*>(label),
                       std::strlen(label), master, sizeof master);
}

// The mask of a flushed name's hash: 8 bytes of a keyed hash of the
// record's random nonce.
std::uint64_t flush_mask(const unsigned char (&key)[32], const unsigned char* nonce,
                         std::size_t size) {
    unsigned char out[8];
    crypto_generichash(out, sizeof out, nonce, size, key, sizeof key);
    std::uint64_t mask;
    std::memcpy(&mask, out, sizeof mask);
    return mask;
}

std::optional<std::uint64_t> integer_of(const redisReply* reply) {
    if (!reply) return std::nullopt;
    if (reply->type == REDIS_REPLY_INTEGER) return static_cast<std::uint64_t>(reply->integer);
    if (reply->type == REDIS_REPLY_NIL) return 0;
    if (reply->type == REDIS_REPLY_STRING) {
        try {
            return std::stoull(std::string(reply->str, reply->len));
        } catch (const std::exception&) {
        }
    }
    return std::nullopt;
}

std::string text_of(const redisReply* reply) {
    return reply && reply->type == REDIS_REPLY_STRING ? std::string(reply->str, reply->len) : "";
}

std::optional<std::string> password_of(const shared_settings& settings, std::string& problem) {
    if (!settings.password_file) return settings.password;
    std::string why;
    std::optional<std::string> password = read_secret_file(*settings.password_file, why);
    if (!password)
        problem = "the Redis password (shared_redis_password_file " + *settings.password_file +
                  ") cannot be read: " + why;
    return password;
}

}  // namespace

std::unique_ptr<shared_state> shared_state::make(const shared_settings& settings,
                                                 std::string& problem) {
    if (sodium_init() < 0) throw std::runtime_error("libsodium cannot start");
    if (!settings.secret_file) {
        problem = "shared_secret_file is not set";
        return nullptr;
    }
    std::string why;
    const std::optional<std::string> secret = read_secret_file(*settings.secret_file, why);
    if (!secret || secret->size() < shortest_shared_secret) {
        problem = "the shared secret (shared_secret_file " + *settings.secret_file + ") " +
                  (secret ? "has fewer than " + std::to_string(shortest_shared_secret) + " bytes"
                          : "cannot be read: " + why);
        return nullptr;
    }
    std::optional<std::string> password = password_of(settings, problem);
    if (!problem.empty()) return nullptr;
    return std::unique_ptr<shared_state>(new shared_state(settings, *secret, std::move(password)));
}

shared_state::shared_state(const shared_settings& settings, std::string_view secret,
                           std::optional<std::string> password)
    : prefix_(settings.prefix), link_(settings.endpoints, settings.timeout, std::move(password)) {
    unsigned char master[32];
    crypto_generichash(master, sizeof master, reinterpret_cast<const unsigned char*>(secret.data()),
                       secret.size(), nullptr, 0);
    derive(address_key_, master, "quillmar address");
    derive(print_key_, master, "quillmar print");
    derive(flush_key_, master, "quillmar flush");
    sodium_memzero(master, sizeof master);
}

redis_reply shared_state::run_script(const std::string& script, std::string& sha,
                                     std::vector<std::string> words) {
    const redis_link::steady::time_point until = link_.deadline();
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (sha.empty()) {
            redis_reply loaded = link_.run({"SCRIPT", "LOAD", script}, until);
            if (!loaded || loaded->type != REDIS_REPLY_STRING) return nullptr;
            sha = text_of(loaded.get());
        }
        words[1] = sha;
        redis_reply reply = link_.run(words, until);
        // Another endpoint, or a Redis started again: it loads the script anew.
        if (reply && reply->type == REDIS_REPLY_ERROR && reply->str &&
            std::strncmp(reply->str, "NOSCRIPT", 8) == 0) {
            sha.clear();
            continue;
        }
        return reply;
    }
    return nullptr;
}

std::optional<shared_state::failure_count> shared_state::count_failure(std::string_view network,
                                                                       std::string_view user,
                                                                       std::string_view password,
                                                                       std::uint32_t window) {
    unsigned char address[16];
    crypto_generichash(address, sizeof address,
                       reinterpret_cast<const unsigned char*>(network.data()), network.size(),
                       address_key_, sizeof address_key_);
    // BLAKE2b run at 4 bytes: the prints already in Redis were made so.
    const std::array<unsigned char, 4> print =
        failure_print(print_key_, sizeof print_key_, 4, user, password);
    redis_reply reply =
        run_script(count_script, count_sha_,
                   {"EVALSHA", "", "1", prefix_ + "fail:" + hex(address, sizeof address),
                    hex(print.data(), print.size()), std::to_string(window)});
    if (!reply || reply->type != REDIS_REPLY_ARRAY || reply->elements != 2) return std::nullopt;
    const std::optional<std::uint64_t> count = integer_of(reply->element[0]);
    const std::optional<std::uint64_t> left = integer_of(reply->element[1]);
    if (!count || !left) return std::nullopt;
    return failure_count{static_cast<std::uint32_t>(*count), static_cast<std::uint32_t>(*left)};
}

bool shared_state::write_flush(std::uint64_t user_hash, std::string& error) {
    link_.wait_at_least(std::chrono::seconds(1));
    unsigned char nonce[16], mark[16];
    randombytes_buf(nonce, sizeof nonce);
    randombytes_buf(mark, sizeof mark);
    const std::uint64_t masked = user_hash ^ flush_mask(flush_key_, nonce, sizeof nonce);
    unsigned char masked_bytes[8];
    std::memcpy(masked_bytes, &masked, sizeof masked);
    redis_reply reply =
        link_.run({"EVAL", flush_script, "3", prefix_ + "flush:generation", prefix_ + "flush:mark",
                   prefix_ + "flush:record:", hex(mark, sizeof mark),
                   hex(nonce, sizeof nonce) + hex(masked_bytes, sizeof masked_bytes),
                   std::to_string(flush_record_seconds)});
    if (reply && reply->type == REDIS_REPLY_INTEGER) return true;
    if (!reply)
        error = "no Redis endpoint answered";
    else
        error = std::string("Redis refused it: ") +
                (reply->type == REDIS_REPLY_ERROR && reply->str ? reply->str : "no count");
    return false;
}

std::optional<shared_state::flush_look> shared_state::look_flushes(bool at_start) {
    const redis_link::steady::time_point until = link_.deadline();
    redis_reply reply =
        link_.run({"MGET", prefix_ + "flush:generation", prefix_ + "flush:mark"}, until);
    if (!reply || reply->type != REDIS_REPLY_ARRAY || reply->elements != 2) return std::nullopt;
    const std::optional<std::uint64_t> latest = integer_of(reply->element[0]);
    if (!latest) return std::nullopt;
    const std::string mark = text_of(reply->element[1]);
    flush_look look;
    const bool first = !flushes_known_;
    const bool other_redis = !flush_mark_.empty() && mark != flush_mark_;
    const std::uint64_t seen = flushes_seen_;
    flushes_known_ = true;
    flushes_seen_ = *latest;
    flush_mark_ = mark;
    if (first || other_redis || *latest < seen || *latest - seen > flush_ring) {
        // A process's first look, made as it starts, has nothing to drop;
        // a later first look (Redis was gone at the start) cannot tell.
        look.all = !first || !at_start;
        return look;
    }
    if (*latest == seen) return look;
    std::vector<std::string> words{"MGET"};
    for (std::uint64_t g = seen + 1; g <= *latest; ++g)
        words.push_back(prefix_ + "flush:record:" + std::to_string(g));
    redis_reply records = link_.run(words, until);
    if (!records || records->type != REDIS_REPLY_ARRAY || records->elements != words.size() - 1) {
        look.all = true;
        return look;
    }
    for (std::size_t i = 0; i < records->elements; ++i) {
        const std::optional<std::string> bytes = unhex(text_of(records->element[i]));
        if (!bytes || bytes->size() != 24) {
            look.all = true;
            return look;
        }
        std::uint64_t masked;
        std::memcpy(&masked, bytes->data() + 16, sizeof masked);
        const std::uint64_t user =
            masked ^
            flush_mask(flush_key_, reinterpret_cast<const unsigned char*>(bytes->data()), 16);
        if (user == 0) {
            look.all = true;
            return look;
        }
        look.users.push_back(user);
    }
    return look;
}

namespace {

shared_settings settings;
std::unique_ptr<shared_state> state;
bool state_made = false;

}  // namespace

shared_settings& shared_state_settings() { return settings; }

shared_state* shared_state_of_process() {
    if (state_made) return state.get();
    state_made = true;
    if (!settings.wanted()) return nullptr;
    std::string problem;
    state = shared_state::make(settings, problem);
    if (!state)
        error_log("Shared state: %s: Redis (shared_redis) is not used, each host keeps its own",
                  problem.c_str());
    return state.get();
}

void shared_state_cleanup() {
    state.reset();
    state_made = false;
    settings = shared_settings{};
}
