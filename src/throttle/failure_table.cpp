#include "throttle/failure_table.h"

#include <sodium.h>

#include <cstring>
#include <stdexcept>

#include "shared_state/failure_print.h"

namespace layout = failure_table_layout;

namespace {

static_assert(__atomic_always_lock_free(sizeof(std::uint64_t), 0),
              "the table's words must be lock-free to be shared between processes");

// A slot's state, one word so that one compare-and-swap changes it whole:
//   bits 63-48  a check of the slot's tag: a state left by the previous
//               owner of the slot (or by none) does not belong to the tag
//   bit  47     throttled
//   bits 46-32  failures counted in the window (at most 32767)
//   bits 31-0   when the window, or the throttle, began
// A state of 0 belongs to no tag.
constexpr std::uint64_t throttled_bit = 1ULL << 47;
constexpr std::uint32_t largest_count = 0x7fff;

std::uint64_t check_of(std::uint64_t tag) { return ((tag >> 48) & 0xffff) | 1; }
bool belongs(std::uint64_t state, std::uint64_t tag) { return state >> 48 == check_of(tag); }
bool throttled(std::uint64_t state) { return (state & throttled_bit) != 0; }
std::uint32_t count_of(std::uint64_t state) {
    return static_cast<std::uint32_t>(state >> 32) & largest_count;
}
std::uint32_t since_of(std::uint64_t state) { return static_cast<std::uint32_t>(state); }
std::uint64_t make_state(std::uint64_t tag, bool throttle, std::uint32_t count,
                         std::uint32_t since) {
    return check_of(tag) << 48 | (throttle ? throttled_bit : 0) |
           static_cast<std::uint64_t>(count & largest_count) << 32 | since;
}

template <typename Word>
Word load(const Word& word) {
    return __atomic_load_n(&word, __ATOMIC_ACQUIRE);
}
template <typename Word>
void store(Word& word, Word value) {
    __atomic_store_n(&word, value, __ATOMIC_RELEASE);
}
// On failure `expected` gets what the word holds.
bool swap(std::uint64_t& word, std::uint64_t& expected, std::uint64_t desired) {
    return __atomic_compare_exchange_n(&word, &expected, desired, false, __ATOMIC_ACQ_REL,
                                       __ATOMIC_ACQUIRE);
}

const layout::header& header_of(const void* memory) {
    return *static_cast<const layout::header*>(memory);
}

}  // namespace

failure_table::failure_table(void* memory, failure_rules rules)
    : memory_(static_cast<unsigned char*>(memory)), rules_(rules) {
    if (sodium_init() < 0) throw std::runtime_error("libsodium cannot start");
    if (rules_.limit > largest_count) rules_.limit = largest_count;
}

void failure_table::initialise(void* memory) {
    static_assert(sizeof(layout::header::key) == crypto_shorthash_KEYBYTES);
    if (sodium_init() < 0) throw std::runtime_error("libsodium cannot start");
    auto& header = *static_cast<layout::header*>(memory);
    // Keyed, so that no one can choose addresses that crowd one bucket.
    crypto_shorthash_keygen(header.key);
    header.version = layout::version;
    header.slot_count = layout::slot_count;
    store(header.magic, layout::magic);
}

bool failure_table::recognised(const void* memory) {
    const layout::header& header = header_of(memory);
    return load(header.magic) == layout::magic && header.version == layout::version &&
           header.slot_count == layout::slot_count;
}

std::uint64_t failure_table::tag_of(const address_network& network) const {
    unsigned char input[17];
    std::memcpy(input, network.base.bytes.data(), 16);
    input[16] = static_cast<unsigned char>(network.bits);
    std::uint64_t tag = 0;
    crypto_shorthash(reinterpret_cast<unsigned char*>(&tag), input, sizeof input,
                     header_of(memory_).key);
    return tag ? tag : 1;
}

// BLAKE2b run at 16 bytes, of which the print keeps 4: the prints in table
// files already made were so. 0 marks an empty print in a slot.
std::uint32_t failure_table::print_of(std::string_view user, std::string_view password) const {
    const std::array<unsigned char, 4> out =
        failure_print(header_of(memory_).key, sizeof header_of(memory_).key, 16, user, password);
    std::uint32_t print;
    std::memcpy(&print, out.data(), sizeof print);
    return print ? print : 1;
}

std::uint64_t* failure_table::tags() const {
    return reinterpret_cast<std::uint64_t*>(memory_ + layout::tags_offset);
}

failure_table::slot& failure_table::slot_at(std::uint32_t index) const {
    return reinterpret_cast<slot*>(memory_ + layout::slots_offset)[index];
}

namespace {
std::uint32_t bucket_of(std::uint64_t tag) {
    constexpr std::uint32_t buckets = layout::slot_count / layout::bucket_size;
    return static_cast<std::uint32_t>(tag % buckets) * layout::bucket_size;
}
}  // namespace

std::optional<std::uint32_t> failure_table::find(std::uint64_t tag) const {
    const std::uint32_t first = bucket_of(tag);
    for (std::uint32_t i = first; i < first + layout::bucket_size; ++i)
        if (load(tags()[i]) == tag) return i;
    return std::nullopt;
}

bool failure_table::over(std::uint64_t state, std::uint32_t now) const {
    // A clock behind the state (a table older than the machine's last
    // start) ends it too.
    const std::uint32_t since = since_of(state);
    return now < since || now - since >= rules_.window;
}

bool failure_table::end(std::uint32_t index, std::uint64_t state, ended_throttle& ended) {
    slot& s = slot_at(index);
    const std::uint64_t tag = load(tags()[index]);
    if (!swap(s.state, state, 0)) return false;
    ended.any = true;
    ended.refused = __atomic_exchange_n(&s.refused, 0, __ATOMIC_ACQ_REL);
    ended.began = since_of(state);
    address_network network;
    const std::uint64_t words[2] = {load(s.network[0]), load(s.network[1])};
    std::memcpy(network.base.bytes.data(), words, 16);
    network.bits = load(s.bits);
    static const std::uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    network.base.v4 =
        network.bits == 128 && std::memcmp(network.base.bytes.data(), mapped, 12) == 0;
    if (network.bits <= 128 && tag_of(network) == tag) ended.network = network;
    return true;
}

bool failure_table::end_if_over(std::uint32_t index, std::uint32_t now, ended_throttle& ended) {
    const std::uint64_t tag = load(tags()[index]);
    if (tag == 0) return false;
    const std::uint64_t state = load(slot_at(index).state);
    if (!belongs(state, tag) || !throttled(state) || !over(state, now)) return false;
    return end(index, state, ended);
}

bool failure_table::refuses(const address_network& network, std::uint32_t now,
                            ended_throttle& ended) {
    const std::uint64_t tag = tag_of(network);
    const std::optional<std::uint32_t> index = find(tag);
    if (!index) return false;
    slot& s = slot_at(*index);
    const std::uint64_t state = load(s.state);
    if (!belongs(state, tag) || !throttled(state)) return false;
    if (!over(state, now)) {
        __atomic_fetch_add(&s.refused, 1, __ATOMIC_RELAXED);
        return true;
    }
    end(*index, state, ended);
    return false;
}

// A slot for a network not in the table: a free one, else one whose window
// or throttle is over, else the one that failed longest ago. A live throttle
// is never pushed out.
std::optional<std::uint32_t> failure_table::claim(std::uint64_t tag, const address_network& network,
                                                  std::uint32_t now, ended_throttle& ended) {
    const std::uint32_t first = bucket_of(tag);
    for (int attempt = 0; attempt < 4; ++attempt) {
        std::optional<std::uint32_t> victim;
        std::uint64_t victim_tag = 0, victim_state = 0, victim_rank = ~0ULL;
        for (std::uint32_t i = first; i < first + layout::bucket_size; ++i) {
            const std::uint64_t t = load(tags()[i]);
            if (t == tag) return i;
            const std::uint64_t state = t ? load(slot_at(i).state) : 0;
            const bool idle = t == 0 || !belongs(state, t) || over(state, now);
            if (!idle && throttled(state)) continue;
            const std::uint64_t rank =
                t == 0 ? 0 : (idle ? 1ULL << 32 : 2ULL << 32) | load(slot_at(i).last_failure);
            if (rank < victim_rank) {
                victim = i;
                victim_tag = t;
                victim_state = state;
                victim_rank = rank;
            }
        }
        if (!victim) return std::nullopt;
        // A throttle that is over gets its end line before its slot goes.
        if (victim_tag && belongs(victim_state, victim_tag) && throttled(victim_state) &&
            !end(*victim, victim_state, ended))
            continue;
        if (!swap(tags()[*victim], victim_tag, tag)) continue;
        slot& s = slot_at(*victim);
        store<std::uint64_t>(s.refused, 0);
        for (std::uint32_t& print : s.prints) store<std::uint32_t>(print, 0);
        std::uint64_t words[2];
        std::memcpy(words, network.base.bytes.data(), 16);
        store(s.network[0], words[0]);
        store(s.network[1], words[1]);
        store<std::uint16_t>(s.bits, static_cast<std::uint16_t>(network.bits));
        store(s.last_failure, now);
        store(s.state, make_state(tag, false, 0, now));
        // Another process may have claimed a slot for the same network
        // meanwhile: the first in the bucket is kept, the other given back.
        for (std::uint32_t i = first; i < *victim; ++i) {
            if (load(tags()[i]) != tag) continue;
            std::uint64_t mine = tag;
            swap(tags()[*victim], mine, 0);
            return i;
        }
        return victim;
    }
    return std::nullopt;
}

failure_counted failure_table::failed(const address_network& network, std::string_view user,
                                      std::string_view password, std::uint32_t now,
                                      ended_throttle& ended) {
    const std::uint64_t tag = tag_of(network);
    std::optional<std::uint32_t> index = find(tag);
    if (!index) index = claim(tag, network, now, ended);
    if (!index) return failure_counted::no_room;
    slot& s = slot_at(*index);
    const std::uint32_t print = print_of(user, password);
    std::uint64_t state = load(s.state);
    for (;;) {
        bool mine = belongs(state, tag);
        if (mine) {
            for (const std::uint32_t& p : s.prints)
                if (load(p) == print) return failure_counted::repeated;
            if (throttled(state) && !over(state, now)) return failure_counted::counted;
            if (throttled(state)) {
                if (!end(*index, state, ended)) {
                    state = load(s.state);
                    continue;
                }
                state = 0;
                mine = false;
            }
        }
        std::uint32_t count = 1, since = now;
        if (mine && count_of(state) > 0 && !over(state, now)) {
            count = count_of(state) + 1;
            since = since_of(state);
        }
        const bool begins = count >= rules_.limit;
        if (!mine)
            for (std::uint32_t& p : s.prints) store<std::uint32_t>(p, 0);
        if (!swap(s.state, state, make_state(tag, begins, count, begins ? now : since))) continue;
        store(s.prints[__atomic_fetch_add(&s.next_print, 1, __ATOMIC_RELAXED) % 4], print);
        store(s.last_failure, now);
        if (!mine) {
            // The slot was half made (its claimer died) or reused: its
            // network is written again for the end line.
            std::uint64_t words[2];
            std::memcpy(words, network.base.bytes.data(), 16);
            store(s.network[0], words[0]);
            store(s.network[1], words[1]);
            store<std::uint16_t>(s.bits, static_cast<std::uint16_t>(network.bits));
        }
        return begins ? failure_counted::throttle_began : failure_counted::counted;
    }
}

bool failure_table::throttle_for(const address_network& network, std::uint32_t seconds_left,
                                 std::uint32_t now, ended_throttle& ended) {
    const std::uint64_t tag = tag_of(network);
    std::optional<std::uint32_t> index = find(tag);
    if (!index) index = claim(tag, network, now, ended);
    if (!index) return false;
    slot& s = slot_at(*index);
    // The throttle began where the shared window did, so that it ends with it.
    const std::uint32_t left = seconds_left < rules_.window ? seconds_left : rules_.window;
    const std::uint32_t gone = rules_.window - left;
    const std::uint32_t since = now > gone ? now - gone : 0;
    std::uint64_t state = load(s.state);
    for (;;) {
        const bool mine = belongs(state, tag);
        if (mine && throttled(state) && !over(state, now)) return false;
        const std::uint32_t count = mine ? count_of(state) : 0;
        if (swap(s.state, state, make_state(tag, true, count, since))) break;
    }
    store<std::uint64_t>(s.refused, 0);
    store(s.last_failure, now);
    return true;
}
