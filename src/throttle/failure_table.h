// The counts of failed checks per client address, in a small table of fixed
// size that every authenticator process of the machine maps from one file,
// so that a guesser who spreads tries over the processes a mail server
// starts is counted once. This part knows only the memory, its layout and
// the rules; throttle.h owns the file.
//
// Why atomics on the slots and no lock: every change is one compare-and-swap
// of one 64-bit word, so a process that dies (or is stopped, or swapped out)
// in the middle of an update holds nothing that others wait for. A robust
// mutex would hand a dead owner's lock on, but a stopped owner (SIGSTOP, a
// debugger) would hold every check of every process; and the whole lock
// would cost two atomic operations on a line every process writes. What
// such a process can leave is a slot half made: its tag claimed but its
// state still the previous owner's. A state carries 16 bits of its tag, so a
// half-made slot reads as a fresh one and the next failure starts it anew.
// Two processes racing for one new address may each claim a slot for it;
// the second notices and gives its own back. The counts are a defence, not
// a ledger: a race may lose or add a count, never corrupt the table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "throttle/client_address.h"

// Sizes of the file: a header, the tags (eight to a cache line: one line
// read tells whether an address is in the table at all), the slots (one
// cache line each).
namespace failure_table_layout {
constexpr std::uint64_t magic = 0x314c54524854514dULL;  // "MQTHRTL1"
constexpr std::uint32_t version = 1;
constexpr std::uint32_t slot_count = 4096;
constexpr std::uint32_t bucket_size = 8;
struct header {
    std::uint64_t magic;
    std::uint32_t version, slot_count;
    unsigned char key[16];  // of the keyed hashes, random for each table
    unsigned char unused[32];
};
struct slot {
    std::uint64_t tag;      // keyed hash of the counted network; 0: free
    std::uint64_t state;    // see failure_table.cpp
    std::uint64_t refused;  // checks refused during the current throttle
    std::uint64_t network[2];
    std::uint16_t bits;  // of the network
    std::uint16_t next_print;
    std::uint32_t last_failure;
    std::uint32_t prints[4];  // the latest wrong user-and-password pairs
};
static_assert(sizeof(header) == 64 && sizeof(slot) == 64);
constexpr std::size_t tags_offset = sizeof(header);
constexpr std::size_t slots_offset = tags_offset + slot_count * sizeof(std::uint64_t);
constexpr std::size_t bytes = slots_offset + slot_count * sizeof(slot);
}  // namespace failure_table_layout

struct failure_rules {
    std::uint32_t limit = 0;   // failures within the window that start a throttle
    std::uint32_t window = 0;  // seconds, and the throttle's length
};

// A throttle that ended, for its log line.
struct ended_throttle {
    bool any = false;
    std::optional<address_network> network;  // none when the slot was half made
    std::uint64_t refused = 0;
    std::uint32_t began = 0;
};

enum class failure_counted {
    no_room,   // every slot of the address's bucket holds a live throttle
    repeated,  // the same user and password failed lately: not counted again
    counted,
    throttle_began,
};

class failure_table {
public:
    // `memory` holds failure_table_layout::bytes, made by initialise; times
    // are seconds of one clock that every process shares.
    failure_table(void* memory, failure_rules rules);

    // A new table in zeroed memory, its hash key random.
    static void initialise(void* memory);
    // Whether the memory holds a table of this layout.
    static bool recognised(const void* memory);

    // Whether checks from the network are refused now; each refusal is
    // counted for the end line. A throttle found over is ended here.
    bool refuses(const address_network& network, std::uint32_t now, ended_throttle& ended);

    // A check from the network failed with this user and password.
    failure_counted failed(const address_network& network, std::string_view user,
                           std::string_view password, std::uint32_t now, ended_throttle& ended);

    // The network failed `limit` times on every host together: throttled
    // here too, until `seconds_left` from now (the rest of the shared
    // window). False when it already was, or has no slot to hold it.
    bool throttle_for(const address_network& network, std::uint32_t seconds_left, std::uint32_t now,
                      ended_throttle& ended);

    // Ends the throttles that are over among `count` slots from `first` on
    // (wrapping), so that an address that stops trying still gets its end
    // line; calls `on_end` for each. Returns where the next sweep begins.
    template <typename OnEnd>
    std::uint32_t sweep(std::uint32_t first, std::uint32_t count, std::uint32_t now, OnEnd on_end) {
        for (std::uint32_t i = 0; i < count; ++i) {
            ended_throttle ended;
            if (end_if_over((first + i) % failure_table_layout::slot_count, now, ended))
                on_end(ended);
        }
        return (first + count) % failure_table_layout::slot_count;
    }

private:
    using slot = failure_table_layout::slot;
    std::uint64_t tag_of(const address_network& network) const;
    std::uint32_t print_of(std::string_view user, std::string_view password) const;
    std::uint64_t* tags() const;
    slot& slot_at(std::uint32_t index) const;
    std::optional<std::uint32_t> find(std::uint64_t tag) const;
    std::optional<std::uint32_t> claim(std::uint64_t tag, const address_network& network,
                                       std::uint32_t now, ended_throttle& ended);
    bool over(std::uint64_t state, std::uint32_t now) const;
    bool end_if_over(std::uint32_t index, std::uint32_t now, ended_throttle& ended);
    bool end(std::uint32_t index, std::uint64_t state, ended_throttle& ended);

    unsigned char* memory_;
    failure_rules rules_;
};
