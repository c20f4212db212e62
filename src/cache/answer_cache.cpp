#include "cache/answer_cache.h"

#include <sodium.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "config/log.h"

namespace {

cache_clock::duration seconds(std::uint32_t s) { return std::chrono::seconds(s); }

std::uint32_t length_of(std::string_view text) { return static_cast<std::uint32_t>(text.size()); }

}  // namespace

void answer_cache::entry_text::reserve(std::size_t size) {
    if (size <= capacity_) return;
    std::unique_ptr<char[]> bigger(new char[size]);
    std::memcpy(bigger.get(), data(), size_);
    heap_ = std::move(bigger);
    capacity_ = static_cast<std::uint32_t>(size);
}

void answer_cache::entry_text::append(std::string_view text) {
    if (size_ + text.size() > capacity_)
        reserve(std::max<std::size_t>(size_ + text.size(), 2 * capacity_));
    std::memcpy(data() + size_, text.data(), text.size());
    size_ += static_cast<std::uint32_t>(text.size());
}

answer_cache::answer_cache(const cache_settings& settings)
    : settings_(settings),
      ttl_(seconds(settings.ttl)),
      negative_ttl_(seconds(settings.negative_ttl)),
      stale_ttl_(seconds(settings.stale_ttl)),
      retry_(seconds(settings.retry_interval)) {
    static_assert(sizeof hash_key_ == crypto_shorthash_KEYBYTES);
    static_assert(sizeof fingerprint_key_ == crypto_generichash_KEYBYTES);
    static_assert(sizeof(password_fingerprint::bytes) == crypto_generichash_BYTES);
    if (sodium_init() < 0) throw std::runtime_error("libsodium cannot start");
    // The bucket index comes from a keyed hash, so that user names chosen to
    // collide cannot pile up in one bucket.
    crypto_shorthash_keygen(hash_key_.data());
    crypto_generichash_keygen(fingerprint_key_.data());
    // Refusals get a tenth of the answers' room besides it: enough for the
    // clients that retry a wrong password, and a flood of made-up names
    // costs no kept login its place.
    room_[answers] = std::max<std::size_t>(settings_.size, 1);
    room_[refusals] = std::max<std::size_t>(room_[answers] / 10, 1);
    // At most one entry for two buckets, so that a lookup seldom tries more
    // than the first.
    bucket_limit_ = 16;
    while (bucket_limit_ < 2 * (room_[answers] + room_[refusals])) bucket_limit_ *= 2;
    buckets_.assign(std::min<std::size_t>(bucket_limit_, 1024), bucket{});
}

answer_cache::~answer_cache() {
    sodium_memzero(fingerprint_key_.data(), fingerprint_key_.size());
    sodium_memzero(hash_key_.data(), hash_key_.size());
    for (entry& e : entries_) {
        sodium_memzero(e.right.bytes.data(), e.right.bytes.size());
        sodium_memzero(e.wrong.bytes.data(), e.wrong.bytes.size());
    }
}

// Keyed BLAKE2b: on short inputs about a quarter of HMAC-SHA-512-256's time
// (crypto_auth) with libsodium's portable SHA-512.
password_fingerprint answer_cache::fingerprint(std::string_view password) const {
    password_fingerprint out;
    crypto_generichash(out.bytes.data(), out.bytes.size(),
                       reinterpret_cast<const unsigned char*>(password.data()), password.size(),
                       fingerprint_key_.data(), fingerprint_key_.size());
    return out;
}

std::uint32_t answer_cache::hash_of(std::string_view user) const {
    unsigned char out[crypto_shorthash_BYTES];
    crypto_shorthash(out, reinterpret_cast<const unsigned char*>(user.data()), user.size(),
                     hash_key_.data());
    std::uint32_t hash = 0;
    for (std::size_t i = 0; i < 4; ++i) hash = hash << 8 | out[i];
    return hash;
}

// The whole hash is compared before the key: the bits above the bucket
// index spare a visit to another user's entry.
answer_cache::slot answer_cache::find(std::string_view user, std::uint32_t hash) const {
    for (std::size_t i = home_of(hash);; i = (i + 1) & (buckets_.size() - 1)) {
        const bucket& b = buckets_[i];
        if (b.place == no_slot) return no_slot;
        if (b.hash == hash && entries_[b.place].key() == user) return b.place;
    }
}

// A hit reads all of its entry: asked for before the fingerprint is made,
// it arrives meanwhile.
void answer_cache::prefetch(std::uint32_t hash) const {
    for (std::size_t i = home_of(hash);; i = (i + 1) & (buckets_.size() - 1)) {
        const bucket& b = buckets_[i];
        if (b.place == no_slot) return;
        if (b.hash != hash) continue;
        const char* at = reinterpret_cast<const char*>(&entries_[b.place]);
        for (std::size_t line = 0; line < sizeof(entry); line += 64) __builtin_prefetch(at + line);
        return;
    }
}

bool answer_cache::alive(const entry& e, cache_clock::time_point now) const {
    switch (e.record) {
    case record_state::found:
        if (now < e.record_until + stale_ttl_) return true;
        break;
    case record_state::unknown:
        if (now < e.record_until) return true;
        break;
    case record_state::none:
        break;
    }
    return (e.has_right && now < e.right_until + stale_ttl_) ||
           (e.has_wrong && now < e.wrong_until);
}

// An entry nothing of which can answer any more leaves at once, so that
// the least recently used list holds only entries that may still serve.
answer_cache::slot answer_cache::find_alive(std::string_view user, std::uint32_t hash,
                                            cache_clock::time_point now) {
    slot s = find(user, hash);
    if (s != no_slot && !alive(entries_[s], now)) {
        remove(s);
        return no_slot;
    }
    return s;
}

void answer_cache::place_in_bucket(slot s) {
    std::size_t i = home_of(entries_[s].hash);
    while (buckets_[i].place != no_slot) i = (i + 1) & (buckets_.size() - 1);
    buckets_[i] = {entries_[s].hash, s};
}

void answer_cache::grow_buckets() {
    buckets_.assign(buckets_.size() * 2, bucket{});
    for (std::size_t s = 0; s < entries_.size(); ++s)
        if (entries_[s].stamp) place_in_bucket(static_cast<slot>(s));
}

// Appending is all a use costs; when a log has grown to twice its entries it
// is written again with each entry's latest use alone.
void answer_cache::touch(slot s) {
    if (last_stamp_ == ~std::uint32_t{0}) renumber_uses();
    entry& e = entries_[s];
    use_log& log = logs_[e.in];
    if (log.uses.size() >= 2 * log.count + 64) compact_uses(log);
    e.stamp = ++last_stamp_;
    log.uses.push_back({s, last_stamp_});
}

void answer_cache::compact_uses(use_log& log) {
    std::size_t kept = 0;
    for (std::size_t i = log.first; i < log.uses.size(); ++i)
        if (entries_[log.uses[i].place].stamp == log.uses[i].stamp) log.uses[kept++] = log.uses[i];
    log.uses.resize(kept);
    log.first = 0;
}

// Once in 2^32 uses: both logs at once, so that no stamp is given twice.
void answer_cache::renumber_uses() {
    std::uint32_t stamp = 0;
    for (use_log& log : logs_) {
        compact_uses(log);
        for (use& u : log.uses) u.stamp = entries_[u.place].stamp = ++stamp;
    }
    last_stamp_ = stamp;
}

// An entry moves to the other pool when it comes to hold an answer or
// ceases to, as its latest use; a pool beyond its room then loses its least
// recently used entry. True when it moved.
bool answer_cache::settle(slot s) {
    entry& e = entries_[s];
    const pool in = e.has_right || e.record == record_state::found ? answers : refusals;
    if (in == e.in) return false;
    --logs_[e.in].count;
    ++logs_[in].count;
    e.in = in;
    touch(s);
    if (logs_[in].count > room_[in]) evict_oldest(in);
    return true;
}

// A use of an entry that may have changed what it holds.
void answer_cache::used(slot s) {
    if (!settle(s)) touch(s);
}

// The first use in the log that is still its entry's latest belongs to the
// pool's least recently used entry.
void answer_cache::evict_oldest(pool in) {
    use_log& log = logs_[in];
    while (log.first < log.uses.size()) {
        const use u = log.uses[log.first++];
        if (entries_[u.place].stamp == u.stamp) {
            remove(u.place);
            return;
        }
    }
}

// Out of its bucket, and the buckets after it that it kept from their first
// choice moved back, so that no search stops short at the hole.
void answer_cache::remove(slot s) {
    const std::size_t mask = buckets_.size() - 1;
    std::size_t hole = home_of(entries_[s].hash);
    while (buckets_[hole].place != s) hole = (hole + 1) & mask;
    for (std::size_t next = (hole + 1) & mask; buckets_[next].place != no_slot;
         next = (next + 1) & mask) {
        const std::size_t home = home_of(buckets_[next].hash);
        // Stays when its first choice lies after the hole, up to where it is.
        if (((next - home) & mask) < ((next - hole) & mask)) continue;
        buckets_[hole] = buckets_[next];
        hole = next;
    }
    buckets_[hole] = bucket{};
    entry& e = entries_[s];
    sodium_memzero(e.right.bytes.data(), e.right.bytes.size());
    sodium_memzero(e.wrong.bytes.data(), e.wrong.bytes.size());
    e.record = record_state::none;
    e.has_right = e.has_wrong = false;
    e.stamp = 0;
    free_.push_back(s);
    --logs_[e.in].count;
}

// A new entry takes the place of the least recently used of its own pool
// when that is full: a refusal never pushes out an answer.
answer_cache::slot answer_cache::find_or_add(std::string_view user, pool in) {
    const std::uint32_t hash = hash_of(user);
    slot s = find(user, hash);
    if (s != no_slot) return s;
    if (logs_[in].count >= room_[in]) evict_oldest(in);
    if (!free_.empty()) {
        s = free_.back();
        free_.pop_back();
    } else {
        s = static_cast<slot>(entries_.size());
        entries_.emplace_back();
    }
    ++logs_[in].count;
    entry& e = entries_[s];
    e.in = in;
    e.text.cut(0);
    e.text.append(user);
    e.lengths = {length_of(user), 0, 0, 0, 0, 0};
    e.user_is_key = false;
    e.present = 0;
    e.hash = hash;
    touch(s);
    if (2 * size() > buckets_.size() && buckets_.size() < bucket_limit_)
        grow_buckets();
    else
        place_in_bucket(s);
    return s;
}

void answer_cache::store_record(entry& e, const cached_record& record) {
    e.text.cut(e.lengths[0]);
    e.user_is_key = record.user == e.key();
    std::size_t total = e.lengths[0] + (e.user_is_key ? 0 : record.user.size());
    for (const auto* field :
         {&record.mailmask, &record.maildrop, &record.options, &record.allow_nets})
        total += *field ? (*field)->size() : 0;
    e.text.reserve(total);
    if (!e.user_is_key) e.text.append(record.user);
    e.lengths[1] = length_of(record.user);
    e.present = 0;
    const std::optional<std::string_view>* fields[] = {&record.mailmask, &record.maildrop,
                                                       &record.options, &record.allow_nets};
    for (std::size_t i = 0; i < 4; ++i) {
        const std::optional<std::string_view>& field = *fields[i];
        e.lengths[i + 2] = field ? length_of(*field) : 0;
        if (!field) continue;
        e.present |= static_cast<std::uint8_t>(1u << i);
        e.text.append(*field);
    }
    e.record = record_state::found;
}

cached_record answer_cache::record_of(const entry& e) const {
    std::string_view text = e.text.view();
    std::size_t at = e.lengths[0];
    cached_record record;
    if (e.user_is_key) {
        record.user = text.substr(0, e.lengths[1]);
    } else {
        record.user = text.substr(at, e.lengths[1]);
        at += e.lengths[1];
    }
    std::optional<std::string_view>* fields[] = {&record.mailmask, &record.maildrop,
                                                 &record.options, &record.allow_nets};
    for (std::size_t i = 0; i < 4; ++i) {
        if (!(e.present & (1u << i))) continue;
        *fields[i] = text.substr(at, e.lengths[i + 2]);
        at += e.lengths[i + 2];
    }
    return record;
}

bool answer_cache::same_password(const password_fingerprint& kept,
                                 const password_fingerprint& password) {
    return sodium_memcmp(kept.bytes.data(), password.bytes.data(), password.bytes.size()) == 0;
}

cache_answer answer_cache::accepted(slot s) {
    touch(s);
    return {cache_verdict::accept, record_of(entries_[s])};
}

cache_answer answer_cache::refused(slot s) {
    touch(s);
    return {cache_verdict::refuse, {}, entries_[s].record == record_state::unknown};
}

cache_answer answer_cache::check(std::string_view user, std::string_view password,
                                 cache_clock::time_point now, password_fingerprint& fingerprint) {
    const std::uint32_t hash = hash_of(user);
    prefetch(hash);
    fingerprint = this->fingerprint(password);
    slot s = find_alive(user, hash, now);
    if (s == no_slot) return {};
    const entry& e = entries_[s];
    // Both are compared whether kept or not, so that a refusal takes as long
    // for a user with a kept login as for one without.
    const bool right = same_password(e.right, fingerprint);
    const bool wrong = same_password(e.wrong, fingerprint);
    if (right && e.has_right && now < e.right_until) return accepted(s);
    if (wrong && e.has_wrong && now < e.wrong_until) return refused(s);
    return {};
}

cache_answer answer_cache::lookup(std::string_view user, cache_clock::time_point now) {
    slot s = find_alive(user, hash_of(user), now);
    if (s == no_slot) return {};
    const entry& e = entries_[s];
    if (e.record == record_state::found && now < e.record_until) return accepted(s);
    if (e.record == record_state::unknown && now < e.record_until) return refused(s);
    return {};
}

cache_answer answer_cache::check_stale(std::string_view user, const password_fingerprint& password,
                                       cache_clock::time_point now) {
    slot s = find_alive(user, hash_of(user), now);
    if (s == no_slot) return {};
    const entry& e = entries_[s];
    if (!e.has_right || now >= e.right_until + stale_ttl_ || !same_password(e.right, password))
        return {};
    note_stale_answer();
    return accepted(s);
}

cache_answer answer_cache::lookup_stale(std::string_view user, cache_clock::time_point now) {
    slot s = find_alive(user, hash_of(user), now);
    if (s == no_slot) return {};
    const entry& e = entries_[s];
    if (e.record != record_state::found || now >= e.record_until + stale_ttl_) return {};
    note_stale_answer();
    return accepted(s);
}

void answer_cache::checked(std::string_view user, const cached_record& record,
                           const password_fingerprint& password, cache_clock::time_point now) {
    slot s = find_or_add(user, answers);
    entry& e = entries_[s];
    store_record(e, record);
    e.record_until = e.right_until = now + ttl_;
    e.right = password;
    e.has_right = true;
    // Taken now: it may have been set to one refused a moment ago.
    if (e.has_wrong && same_password(e.wrong, password)) e.has_wrong = false;
    used(s);
}

void answer_cache::check_refused(std::string_view user, const password_fingerprint& password,
                                 bool user_unknown, cache_clock::time_point now) {
    slot s = find_alive(user, hash_of(user), now);
    if (s != no_slot) {
        entry& e = entries_[s];
        if (user_unknown) forget_user(e, now);
        // Another password leaves the right one in place until it expires;
        // the right one refused is right no more, and must not answer from
        // an expired entry in an outage.
        if (e.has_right && same_password(e.right, password)) e.has_right = false;
    }
    if (settings_.negative_ttl == 0) {
        if (s == no_slot) return;
        if (alive(entries_[s], now))
            settle(s);
        else
            remove(s);
        return;
    }
    if (s == no_slot) {
        s = find_or_add(user, refusals);
        if (user_unknown) forget_user(entries_[s], now);
    }
    // Kept beside a right password too, so that a wrong password tried
    // again is refused at once for every user alike.
    entry& e = entries_[s];
    e.has_wrong = true;
    e.wrong = password;
    e.wrong_until = now + negative_ttl_;
    used(s);
}

void answer_cache::looked_up(std::string_view user, const cached_record& record,
                             cache_clock::time_point now) {
    slot s = find_or_add(user, answers);
    entry& e = entries_[s];
    store_record(e, record);
    e.record_until = now + ttl_;
    used(s);
}

void answer_cache::lookup_refused(std::string_view user, cache_clock::time_point now) {
    slot s = find_alive(user, hash_of(user), now);
    if (s == no_slot && settings_.negative_ttl == 0) return;
    if (s == no_slot) s = find_or_add(user, refusals);
    forget_user(entries_[s], now);
    if (alive(entries_[s], now))
        used(s);
    else
        remove(s);
}

// The database has no row for the user: the record and the password that
// was right leave; with negative entries kept, lookups are refused for a
// while (checks are refused only for a password that failed).
void answer_cache::forget_user(entry& e, cache_clock::time_point now) {
    e.text.cut(e.lengths[0]);
    e.present = 0;
    e.record = settings_.negative_ttl > 0 ? record_state::unknown : record_state::none;
    e.record_until = now + negative_ttl_;
    e.has_right = false;
}

std::size_t answer_cache::forget_where(
    const std::function<bool(std::string_view key, std::optional<std::string_view> user)>& drop) {
    std::size_t dropped = 0;
    // Removing an entry moves others between buckets, never between places.
    for (std::size_t s = 0; s < entries_.size(); ++s) {
        const entry& e = entries_[s];
        if (!e.stamp) continue;
        // An expired record counts too: it may still answer while the database fails.
        const std::optional<std::string_view> user =
            e.record == record_state::found ? std::optional(record_of(e).user) : std::nullopt;
        if (drop && !drop(e.key(), user)) continue;
        remove(static_cast<slot>(s));
        ++dropped;
    }
    return dropped;
}

void answer_cache::note_stale_answer() {
    ++stale_answers_;
    if (outage_) return;
    outage_ = true;
    error_log("Cache: the database fails; known users are answered from expired entries");
}

void answer_cache::database_failed(cache_clock::time_point now) { resting_until_ = now + retry_; }

void answer_cache::database_answered() {
    resting_until_ = {};
    if (!outage_) return;
    outage_ = false;
    error_log("Cache: the database answers again, after %llu answers from expired entries",
              static_cast<unsigned long long>(stale_answers_));
    stale_answers_ = 0;
}
