// The library calls under the password schemes: base64 and hex through
// libsodium, digests and PBKDF2 through libcrypto, the timing-safe
// comparison, and a copy of a secret that is wiped when it goes.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace schemes_detail {

class secret_text {
public:
    explicit secret_text(std::string_view text) : text_(text) {}
    ~secret_text();
    secret_text(const secret_text&) = delete;
    secret_text& operator=(const secret_text&) = delete;
    const char* c_str() const { return text_.c_str(); }
    std::string& text() { return text_; }

private:
    std::string text_;
};

enum class text_encoding { none, hex, base64 };

// Strict: the whole text, padded base64 of the standard alphabet or an even
// count of hex digits; false and `out` unspecified otherwise.
bool decode_text(text_encoding encoding, std::string_view text, std::string& out);
std::string encode_text(text_encoding encoding, std::string_view bytes);
// Base64 without padding, as the Argon2 strings write salt and hash.
bool decode_unpadded_base64(std::string_view text, std::string& out);

std::string digest_of(const EVP_MD* md, std::string_view first, std::string_view second = {});
// PBKDF2 with HMAC-SHA1; empty when libcrypto refuses.
std::string pbkdf2_sha1(std::string_view password, std::string_view salt, int rounds,
                        std::size_t length);

// Lengths first, then every byte whatever the earlier ones held.
bool same_secret(std::string_view a, std::string_view b);

std::string random_bytes(std::size_t count);
// `count` characters of the crypt(3) salt alphabet ./0-9A-Za-z.
std::string random_salt_text(std::size_t count);

}  // namespace schemes_detail
