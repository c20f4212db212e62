#include "config/secret_text.h"

#include <openssl/crypto.h>

bool same_secret(std::string_view kept, std::string_view given) {
    if (kept.size() != given.size()) return false;
    return CRYPTO_memcmp(kept.data(), given.data(), kept.size()) == 0;
}
