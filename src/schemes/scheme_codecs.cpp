#include "schemes/scheme_codecs.h"

#include <openssl/crypto.h>
#include <sodium.h>

#include <memory>

namespace schemes_detail {

secret_text::~secret_text() {
    if (!text_.empty()) sodium_memzero(&text_[0], text_.size());
}

namespace {

bool decode_base64(std::string_view text, int variant, std::string& out) {
    out.resize(text.size() / 4 * 3 + 3);
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(&out[0]), out.size(), text.data(),
                          text.size(), nullptr, &length, &end, variant) != 0 ||
        end != text.data() + text.size())
        return false;
    out.resize(length);
    return true;
}

}  // namespace

bool decode_text(text_encoding encoding, std::string_view text, std::string& out) {
    switch (encoding) {
    case text_encoding::none:
        out.assign(text);
        return true;
    case text_encoding::base64:
        return decode_base64(text, sodium_base64_VARIANT_ORIGINAL, out);
    case text_encoding::hex: {
        if (text.size() % 2 != 0) return false;
        out.resize(text.size() / 2 + 1);
        std::size_t length = 0;
        const char* end = nullptr;
        if (sodium_hex2bin(reinterpret_cast<unsigned char*>(&out[0]), out.size(), text.data(),
                           text.size(), nullptr, &length, &end) != 0 ||
            end != text.data() + text.size())
            return false;
        out.resize(length);
        return true;
    }
    }
    return false;
}

bool decode_unpadded_base64(std::string_view text, std::string& out) {
    return decode_base64(text, sodium_base64_VARIANT_ORIGINAL_NO_PADDING, out);
}

std::string encode_text(text_encoding encoding, std::string_view bytes) {
    auto data = reinterpret_cast<const unsigned char*>(bytes.data());
    std::string out;
    switch (encoding) {
    case text_encoding::none:
        return std::string(bytes);
    case text_encoding::base64:
        out.resize(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL));
        sodium_bin2base64(&out[0], out.size(), data, bytes.size(), sodium_base64_VARIANT_ORIGINAL);
        break;
    case text_encoding::hex:
        out.resize(bytes.size() * 2 + 1);
        sodium_bin2hex(&out[0], out.size(), data, bytes.size());
        break;
    }
    out.pop_back();  // the terminating zero both encoders write
    return out;
}

std::string digest_of(const EVP_MD* md, std::string_view first, std::string_view second) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free);
    std::string out(EVP_MAX_MD_SIZE, '\0');
    unsigned length = 0;
    if (!context || EVP_DigestInit_ex(context.get(), md, nullptr) != 1 ||
        EVP_DigestUpdate(context.get(), first.data(), first.size()) != 1 ||
        EVP_DigestUpdate(context.get(), second.data(), second.size()) != 1 ||
        EVP_DigestFinal_ex(context.get(), reinterpret_cast<unsigned char*>(&out[0]), &length) != 1)
        return {};
    out.resize(length);
    return out;
}

std::string pbkdf2_sha1(std::string_view password, std::string_view salt, int rounds,
                        std::size_t length) {
    std::string out(length, '\0');
    if (PKCS5_PBKDF2_HMAC_SHA1(password.data(), static_cast<int>(password.size()),
                               reinterpret_cast<const unsigned char*>(salt.data()),
                               static_cast<int>(salt.size()), rounds, static_cast<int>(length),
                               reinterpret_cast<unsigned char*>(&out[0])) != 1)
        return {};
    return out;
}

bool same_secret(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string random_bytes(std::size_t count) {
    std::string out(count, '\0');
    randombytes_buf(&out[0], count);
    return out;
}

std::string random_salt_text(std::size_t count) {
    static const char alphabet[] =
        "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::string out(count, '.');
    for (char& c : out) c = alphabet[randombytes_uniform(64)];
    return out;
}

}  // namespace schemes_detail
