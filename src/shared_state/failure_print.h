// The print of a failed user and password: what tells a repeated wrong
// password from a new guess, both in the local failure table and in Redis.
// 32 bits of a keyed BLAKE2b (libsodium): enough to tell a repeat, too few
// for a stolen table or Redis dump to confirm a guessed password offline.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

// The first four bytes of BLAKE2b, keyed by `key` and run at an output of
// `hash_bytes` (4 to 64), over the user's length (8 bytes, host order), the
// user and the password; the length keeps ("ab", "c") apart from ("a", "bc").
// BLAKE2b's output depends on its length, so the callers' lengths are fixed
// by what they stored already: the table file's prints and Redis's fields.
std::array<unsigned char, 4> failure_print(const unsigned char* key, std::size_t key_size,
                                           std::size_t hash_bytes, std::string_view user,
                                           std::string_view password);
