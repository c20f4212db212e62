// Comparison of secrets (a stored password, the info password) against what
// a client sent: how long it takes must not tell how much of the secret the
// client got right.
#pragma once

#include <string_view>

// Equal texts; the lengths are compared first (a length is no secret), then
// every byte whatever the first difference, with OpenSSL's CRYPTO_memcmp.
bool same_secret(std::string_view kept, std::string_view given);
