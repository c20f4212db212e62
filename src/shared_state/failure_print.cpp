#include "shared_state/failure_print.h"

#include <sodium.h>

#include <cstdint>
#include <stdexcept>

std::array<unsigned char, 4> failure_print(const unsigned char* key, std::size_t key_size,
                                           std::size_t hash_bytes, std::string_view user,
                                           std::string_view password) {
    if (hash_bytes < 4 || hash_bytes > crypto_generichash_BYTES_MAX)
        throw std::invalid_argument("failure_print: hash length out of range");
    crypto_generichash_state state;
    if (crypto_generichash_init(&state, key, key_size, hash_bytes) != 0)
        throw std::invalid_argument("failure_print: key length out of range");
    const std::uint64_t user_size = user.size();
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(&user_size),
                              sizeof user_size);
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(user.data()),
                              user.size());
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(password.data()),
                              password.size());
    unsigned char out[crypto_generichash_BYTES_MAX];
    crypto_generichash_final(&state, out, hash_bytes);
    sodium_memzero(&state, sizeof state);
    return {out[0], out[1], out[2], out[3]};
}
