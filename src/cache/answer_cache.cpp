#include "cache/answer_cache.h"

#include <sodium.h>

#include <algorithm>
#include <stdexcept>

#include "config/log.h"

namespace {

// Bits of entry::present.
constexpr std::uint8_t has_mask = 1, has_drop = 2, has_options = 4;

cache_clock::duration seconds(std::uint32_t s) { return std::chrono::seconds(s); }

std::uint32_t length_of(std::string_view text) { return static_cast<std::uint32_t>(text.size()); }

}  // namespace

answer_cache::answer_cache(const cache_settings& settings)
    : settings_(settings),
      ttl_(seconds(settings.ttl)),
      negative_ttl_(seconds(settings.negative_ttl)),
      stale_ttl_(seconds(settings.stale_ttl)) {
    static_assert(sizeof hash_key_ == crypto_shorthash_KEYBYTES);
    static_assert(sizeof fingerprint_key_ == crypto_generichash_KEYBYTES);
    static_assert(sizeof(password_fingerprint::bytes) == crypto_generichash_BYTES);
    if (sodium_init() < 0) throw std::runtime_error("libsodium cannot start");
    // The bucket index comes from a keyed hash, so that user names chosen to
    // collide cannot pile up in one bucket.
    crypto_shorthash_keygen(hash_key_.data());
    crypto_generichash_keygen(fingerprint_key_.data());
    // One bucket per entry at most; at the start room for a few.
    bucket_limit_ = 16;
    while (bucket_limit_ < settings_.size) bucket_limit_ *= 2;
    buckets_.assign(std::min<std::size_t>(bucket_limit_, 1024), nullptr);
}

answer_cache::~answer_cache() {
    sodium_memzero(fingerprint_key_.data(), fingerprint_key_.size());
    sodium_memzero(hash_key_.data(), hash_key_.size());
    for (entry& e : nodes_) sodium_memzero(e.password.bytes.data(), e.password.bytes.size());
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

std::uint64_t answer_cache::hash_of(std::string_view user) const {
    unsigned char out[crypto_shorthash_BYTES];
    crypto_shorthash(out, reinterpret_cast<const unsigned char*>(user.data()), user.size(),
                     hash_key_.data());
    std::uint64_t hash = 0;
    for (unsigned char byte : out) hash = hash << 8 | byte;
    return hash;
}

answer_cache::entry* answer_cache::find(std::string_view user, std::uint64_t hash) const {
    for (entry* e = buckets_[hash & (buckets_.size() - 1)]; e; e = e->next_in_bucket)
        if (e->hash == hash && e->key() == user) return e;
    return nullptr;
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
    switch (e.password_kind) {
    case password_state::right:
        return now < e.password_until + stale_ttl_;
    case password_state::wrong:
        return now < e.password_until;
    case password_state::none:
        break;
    }
    return false;
}

// An entry nothing of which can answer any more leaves at once, so that
// the least recently used list holds only entries that may still serve.
answer_cache::entry* answer_cache::find_alive(std::string_view user, cache_clock::time_point now) {
    entry* e = find(user, hash_of(user));
    if (e && !alive(*e, now)) {
        remove(*e);
        return nullptr;
    }
    return e;
}

void answer_cache::drop_if_dead(entry& e, cache_clock::time_point now) {
    if (!alive(e, now)) remove(e);
}

void answer_cache::link_bucket(entry& e) {
    entry*& head = buckets_[e.hash & (buckets_.size() - 1)];
    e.next_in_bucket = head;
    head = &e;
}

void answer_cache::unlink_bucket(entry& e) {
    entry** link = &buckets_[e.hash & (buckets_.size() - 1)];
    while (*link != &e) link = &(*link)->next_in_bucket;
    *link = e.next_in_bucket;
    e.next_in_bucket = nullptr;
}

void answer_cache::grow_buckets() {
    std::vector<entry*> old(buckets_.size() * 2, nullptr);
    old.swap(buckets_);
    for (entry* head : old) {
        while (head) {
            entry* next = head->next_in_bucket;
            link_bucket(*head);
            head = next;
        }
    }
}

void answer_cache::touch(entry& e) {
    if (newest_ == &e) return;
    // Out of the list...
    if (e.newer) e.newer->older = e.older;
    if (e.older) e.older->newer = e.newer;
    if (oldest_ == &e) oldest_ = e.newer;
    // ...and in again at the new end.
    e.newer = nullptr;
    e.older = newest_;
    if (newest_) newest_->newer = &e;
    newest_ = &e;
    if (!oldest_) oldest_ = &e;
}

void answer_cache::remove(entry& e) {
    unlink_bucket(e);
    if (e.newer)
        e.newer->older = e.older;
    else
        newest_ = e.older;
    if (e.older)
        e.older->newer = e.newer;
    else
        oldest_ = e.newer;
    sodium_memzero(e.password.bytes.data(), e.password.bytes.size());
    e.newer = e.older = nullptr;
    e.record = record_state::none;
    e.password_kind = password_state::none;
    e.next_in_bucket = free_;
    free_ = &e;
    --count_;
}

answer_cache::entry& answer_cache::find_or_add(std::string_view user) {
    std::uint64_t hash = hash_of(user);
    if (entry* e = find(user, hash)) return *e;
    if (count_ >= std::max<std::size_t>(settings_.size, 1) && oldest_) remove(*oldest_);
    entry* e = free_;
    if (e) {
        free_ = e->next_in_bucket;
    } else {
        nodes_.emplace_back();
        e = &nodes_.back();
    }
    ++count_;
    if (count_ > buckets_.size() && buckets_.size() < bucket_limit_) grow_buckets();
    e->hash = hash;
    e->text.assign(user);
    e->lengths = {length_of(user), 0, 0, 0, 0};
    e->user_is_key = false;
    e->present = 0;
    link_bucket(*e);
    touch(*e);
    return *e;
}

void answer_cache::store_record(entry& e, const cached_record& record) {
    e.text.resize(e.lengths[0]);
    e.user_is_key = record.user == e.key();
    // Room for everything at once: grown piece by piece, the string would
    // end up in a block up to twice its size.
    std::size_t total = e.text.size() + (e.user_is_key ? 0 : record.user.size());
    for (const auto* field : {&record.mailmask, &record.maildrop, &record.options})
        total += *field ? (*field)->size() : 0;
    e.text.reserve(total);
    if (!e.user_is_key) e.text += record.user;
    e.lengths[1] = length_of(record.user);
    e.present = 0;
    const std::optional<std::string_view>* fields[] = {&record.mailmask, &record.maildrop,
                                                       &record.options};
    for (std::size_t i = 0; i < 3; ++i) {
        const std::optional<std::string_view>& field = *fields[i];
        e.lengths[i + 2] = field ? length_of(*field) : 0;
        if (!field) continue;
        e.present |= static_cast<std::uint8_t>(1u << i);
        e.text += *field;
    }
    e.record = record_state::found;
}

cached_record answer_cache::record_of(const entry& e) const {
    std::string_view text(e.text);
    std::size_t at = e.lengths[0];
    cached_record record;
    if (e.user_is_key) {
        record.user = text.substr(0, e.lengths[1]);
    } else {
        record.user = text.substr(at, e.lengths[1]);
        at += e.lengths[1];
    }
    std::optional<std::string_view>* fields[] = {&record.mailmask, &record.maildrop,
                                                 &record.options};
    for (std::size_t i = 0; i < 3; ++i) {
        if (!(e.present & (1u << i))) continue;
        *fields[i] = text.substr(at, e.lengths[i + 2]);
        at += e.lengths[i + 2];
    }
    return record;
}

bool answer_cache::same_password(const entry& e, const password_fingerprint& password) const {
    return sodium_memcmp(e.password.bytes.data(), password.bytes.data(), password.bytes.size()) ==
           0;
}

cache_answer answer_cache::accepted(entry& e) {
    touch(e);
    return {cache_verdict::accept, record_of(e)};
}

cache_answer answer_cache::refused(entry& e) {
    touch(e);
    return {cache_verdict::refuse, {}};
}

cache_answer answer_cache::check(std::string_view user, const password_fingerprint& password,
                                 cache_clock::time_point now) {
    entry* e = find_alive(user, now);
    if (!e) return {};
    if (e->password_kind == password_state::right) {
        if (now < e->password_until && same_password(*e, password)) return accepted(*e);
        return {};
    }
    if (e->password_kind == password_state::wrong && now < e->password_until &&
        same_password(*e, password))
        return refused(*e);
    return {};
}

cache_answer answer_cache::lookup(std::string_view user, cache_clock::time_point now) {
    entry* e = find_alive(user, now);
    if (!e) return {};
    if (e->record == record_state::found && now < e->record_until) return accepted(*e);
    if (e->record == record_state::unknown && now < e->record_until) return refused(*e);
    return {};
}

cache_answer answer_cache::check_stale(std::string_view user, const password_fingerprint& password,
                                       cache_clock::time_point now) {
    entry* e = find_alive(user, now);
    if (!e || e->password_kind != password_state::right || now >= e->password_until + stale_ttl_ ||
        !same_password(*e, password))
        return {};
    note_stale_answer();
    return accepted(*e);
}

cache_answer answer_cache::lookup_stale(std::string_view user, cache_clock::time_point now) {
    entry* e = find_alive(user, now);
    if (!e || e->record != record_state::found || now >= e->record_until + stale_ttl_) return {};
    note_stale_answer();
    return accepted(*e);
}

void answer_cache::checked(std::string_view user, const cached_record& record,
                           const password_fingerprint& password, cache_clock::time_point now) {
    entry& e = find_or_add(user);
    store_record(e, record);
    e.record_until = e.password_until = now + ttl_;
    e.password = password;
    e.password_kind = password_state::right;
    touch(e);
}

void answer_cache::check_refused(std::string_view user, const password_fingerprint& password,
                                 bool user_unknown, cache_clock::time_point now) {
    entry* e = find_alive(user, now);
    if (e && user_unknown) forget_user(*e, now);
    // Another password leaves the right one in place until it expires (and
    // is then asked of the database every time, since no refusal is kept
    // beside a right password); the right one refused is right no more,
    // and must not answer from an expired entry in an outage either.
    if (e && e->password_kind == password_state::right) {
        if (!same_password(*e, password)) return;
        e->password_kind = password_state::none;
    }
    if (settings_.negative_ttl == 0) {
        if (e) drop_if_dead(*e, now);
        return;
    }
    if (!e) {
        e = &find_or_add(user);
        if (user_unknown) forget_user(*e, now);
    }
    e->password_kind = password_state::wrong;
    e->password = password;
    e->password_until = now + negative_ttl_;
    touch(*e);
}

void answer_cache::looked_up(std::string_view user, const cached_record& record,
                             cache_clock::time_point now) {
    entry& e = find_or_add(user);
    store_record(e, record);
    e.record_until = now + ttl_;
    touch(e);
}

void answer_cache::lookup_refused(std::string_view user, cache_clock::time_point now) {
    entry* e = find_alive(user, now);
    if (!e && settings_.negative_ttl == 0) return;
    if (!e) e = &find_or_add(user);
    forget_user(*e, now);
    touch(*e);
    drop_if_dead(*e, now);
}

// The database has no row for the user: the record and the password that
// was right leave; with negative entries kept, lookups are refused for a
// while (checks are refused only for a password that failed).
void answer_cache::forget_user(entry& e, cache_clock::time_point now) {
    e.text.resize(e.lengths[0]);
    e.present = 0;
    e.record = settings_.negative_ttl > 0 ? record_state::unknown : record_state::none;
    e.record_until = now + negative_ttl_;
    if (e.password_kind == password_state::right) e.password_kind = password_state::none;
}

void answer_cache::note_stale_answer() {
    ++stale_answers_;
    if (outage_) return;
    outage_ = true;
    error_log("Cache: the database fails; known users are answered from expired entries");
}

void answer_cache::database_answered() {
    if (!outage_) return;
    outage_ = false;
    error_log("Cache: the database answers again, after %llu answers from expired entries",
              static_cast<unsigned long long>(stale_answers_));
    stale_answers_ = 0;
}
