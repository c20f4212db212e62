#include "schemes/schemes.h"

#include <crypt.h>
#include <openssl/evp.h>
#include <sodium.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>

#include "schemes/scheme_codecs.h"

using namespace schemes_detail;

namespace {

enum class kind { argon2, crypt, digest, salted, plain, pbkdf2 };

struct scheme_entry {
    const char* name;
    kind what;
    // Values of one family are alike for a rehash: SHA and SHA1, PLAIN and
    // CLEAR. A crypt entry names the family it makes; the family of a crypt
    // value is read from the value itself.
    const char* family;
    const EVP_MD* (*md)();
    bool weak;
    const char* crypt_prefix;  // what crypt_gensalt makes; null for crypt schemes not made
    bool makes;
    // A value of the scheme whose password nobody knows, verified for a
    // user the table does not hold, at the cost values are made at.
    const char* dummy;
    const char* about;
};

const scheme_entry schemes[] = {
    {"ARGON2ID", kind::argon2, "ARGON2ID", nullptr, false, nullptr, true,
     "$argon2id$v=19$m=65536,t=2,p=1$RHJYb2xTWUx6YW1uaTduUw$"
     "alyPHC2iqTqSxf2+giJ4efFg2e8np88Wa+u9EG1P4Ew",
     "Argon2id (libsodium); made at libsodium's interactive limits (64 MiB, 2 passes)"},
    {"ARGON2I", kind::argon2, "ARGON2I", nullptr, false, nullptr, true,
     "$argon2i$v=19$m=32768,t=4,p=1$cqAkBv12oJG9HJjNoZZ/tw$"
     "yxs2hC7P4Bhg+dzJ8jz76JbzT8bHFgeXyXBzc+NJJj0",
     "Argon2i (libsodium); made at libsodium's interactive limits (32 MiB, 4 passes)"},
    {"CRYPT", kind::crypt, "YESCRYPT", nullptr, false, "$y$", true,
     "$6$t.2saVgAv3Ywd1/B$LoUa4GKOVh9nZJbs5vgkqczVwyPOTtbgslUXB.8mhjMNDZ6HwSRzVK1nKESEFZ/"
     "6jkEFaMG4x07cy3ikJ/X651",
     "crypt(3), any method libxcrypt reads; made as yescrypt"},
    {"BLF-CRYPT", kind::crypt, "BLF-CRYPT", nullptr, false, "$2y$", true,
     "$2y$05$VYtlNEoOabG0ePWx/h5n1.hHhuM9KXjnWicyvVkvlQ9g2hEdzUQym",
     "bcrypt; reads only the first 72 bytes of a password"},
    {"SHA512-CRYPT", kind::crypt, "SHA512-CRYPT", nullptr, false, "$6$", true,
     "$6$t.2saVgAv3Ywd1/B$LoUa4GKOVh9nZJbs5vgkqczVwyPOTtbgslUXB.8mhjMNDZ6HwSRzVK1nKESEFZ/"
     "6jkEFaMG4x07cy3ikJ/X651",
     "SHA-512 crypt"},
    {"SHA256-CRYPT", kind::crypt, "SHA256-CRYPT", nullptr, false, "$5$", true,
     "$5$Ejbbrtvl994zTQNu$QFDvj641E3PMMLEJgPzUF7fEHLsQ2aZeWEs.Be8cht6", "SHA-256 crypt"},
    {"MD5-CRYPT", kind::crypt, "MD5-CRYPT", nullptr, true, nullptr, false,
     "$1$fax.bNCV$LUKqR6zdTmRU9tZBg9c9r/", "MD5 crypt"},
    {"MD5", kind::crypt, "MD5-CRYPT", nullptr, true, nullptr, false,
     "$1$fax.bNCV$LUKqR6zdTmRU9tZBg9c9r/", "MD5 crypt, by its other name"},
    {"DES-CRYPT", kind::crypt, "DES-CRYPT", nullptr, true, nullptr, false, "LZDRW9P9ZfBA6",
     "traditional DES crypt"},
    {"PBKDF2", kind::pbkdf2, "PBKDF2", nullptr, false, nullptr, true,
     "$1$opvpdb9Dq5fp6kM3$5000$1d2f04bfa773ae70f71b0c53e6bb405137d8489b",
     "PBKDF2 with HMAC-SHA1; made with 5000 rounds"},
    {"SHA", kind::digest, "SHA", EVP_sha1, false, nullptr, true,
     "w5ULX0l1CpU8XXeN6qEWHnsJ33g=", "SHA-1, unsalted"},
    {"SHA1", kind::digest, "SHA", EVP_sha1, false, nullptr, true,
     "w5ULX0l1CpU8XXeN6qEWHnsJ33g=", "SHA-1, unsalted"},
    {"SHA256", kind::digest, "SHA256", EVP_sha256, false, nullptr, true,
     "IEMiwC6FY5N4fLMkH2Sx0bwXnuc46Ol9WoXngTwCNu0=", "SHA-256, unsalted"},
    {"SHA512", kind::digest, "SHA512", EVP_sha512, false, nullptr, true,
     "53fnBk+9hVr0MUFaRMJFxfLNS/qhvuFlGAXKk5i07dbjmy8Yb7LrEeTO+TEwRpntqwYmHHfo9+isBW5DMhFSIg==",
     "SHA-512, unsalted"},
    {"SSHA", kind::salted, "SSHA", EVP_sha1, false, nullptr, true,
     "2EUysP3AnQwAqGeYjceZPmQQssYBUaw4", "salted SHA-1"},
    {"SSHA256", kind::salted, "SSHA256", EVP_sha256, false, nullptr, true,
     "x1QcplWz7gG/7BvOXONQnw18eZw1CUzEtFyiZNDTovVndPDK", "salted SHA-256"},
    {"SSHA512", kind::salted, "SSHA512", EVP_sha512, false, nullptr, true,
     "fDe78XGp9YB2vsF0YcDUVS286VJAFao6zl7e6PPpf5lkRd2czhuUBfJ3uysUvjMnhDLMFr4roWsb8pvYHGhe8iEA"
     "5MA=",
     "salted SHA-512"},
    {"PLAIN", kind::plain, "PLAIN", nullptr, false, nullptr, true, "9fK2vXq7LmP4wZ8rT3nB",
     "the password itself"},
    {"CLEAR", kind::plain, "PLAIN", nullptr, false, nullptr, true, "9fK2vXq7LmP4wZ8rT3nB",
     "the password itself"},
    {"CLEARTEXT", kind::plain, "PLAIN", nullptr, false, nullptr, true, "9fK2vXq7LmP4wZ8rT3nB",
     "the password itself"},
    {"PLAIN-MD5", kind::digest, "PLAIN-MD5", EVP_md5, true, nullptr, false,
     "a4a6671247ecbd1a28d3d745cea03bf0", "MD5, unsalted"},
    {"LDAP-MD5", kind::digest, "PLAIN-MD5", EVP_md5, true, nullptr, false,
     "6FPIY3O2d4RowXftBb0P2A==", "MD5, unsalted"},
    {"SMD5", kind::salted, "SMD5", EVP_md5, true, nullptr, false,
     "Qfa599PL62pujVm9QiY+QqScSEw=", "salted MD5"},
};

// The crypt(3) methods told apart by the start of a value. Weak ones are
// those an attacker with the table cracks cheaply, and the legacy methods
// libxcrypt keeps only for old values.
enum class crypt_cost { fixed, bcrypt, sha, yescrypt, unread };

struct crypt_method {
    const char* prefix;
    const char* family;
    bool weak;
    crypt_cost cost;
};

const crypt_method crypt_methods[] = {
    {"$y$", "YESCRYPT", false, crypt_cost::yescrypt},
    {"$gy$", "GOST-YESCRYPT", false, crypt_cost::unread},
    {"$7$", "SCRYPT", false, crypt_cost::unread},
    {"$2a$", "BLF-CRYPT", false, crypt_cost::bcrypt},
    {"$2b$", "BLF-CRYPT", false, crypt_cost::bcrypt},
    {"$2y$", "BLF-CRYPT", false, crypt_cost::bcrypt},
    // $2x$ is the mode that repeats an old bug with 8-bit characters.
    {"$2x$", "BLF-CRYPT-2X", true, crypt_cost::bcrypt},
    {"$6$", "SHA512-CRYPT", false, crypt_cost::sha},
    {"$5$", "SHA256-CRYPT", false, crypt_cost::sha},
    {"$1$", "MD5-CRYPT", true, crypt_cost::fixed},
    {"$md5", "SUN-MD5-CRYPT", true, crypt_cost::unread},
    {"$sha1$", "SHA1-CRYPT", true, crypt_cost::unread},
    {"$3$", "NT-HASH-CRYPT", true, crypt_cost::fixed},
    {"_", "BSDI-CRYPT", true, crypt_cost::unread},
};
const crypt_method des_crypt = {"", "DES-CRYPT", true, crypt_cost::fixed};

char ascii_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (ascii_upper(a[i]) != ascii_upper(b[i])) return false;
    return true;
}

bool starts_with(std::string_view text, std::string_view start) {
    return text.substr(0, start.size()) == start;
}

struct named_scheme {
    const scheme_entry* entry = nullptr;
    text_encoding encoding = text_encoding::none;
    const char* suffix = "";
};

std::optional<named_scheme> find_scheme(std::string_view name) {
    named_scheme found;
    if (name.size() > 4 && same_name(name.substr(name.size() - 4), ".HEX")) {
        found.encoding = text_encoding::hex;
        found.suffix = ".HEX";
        name.remove_suffix(4);
    } else if (name.size() > 4 && same_name(name.substr(name.size() - 4), ".B64")) {
        found.encoding = text_encoding::base64;
        found.suffix = ".B64";
        name.remove_suffix(4);
    }
    for (const scheme_entry& entry : schemes) {
        if (same_name(name, entry.name)) {
            found.entry = &entry;
            return found;
        }
    }
    return std::nullopt;
}

// A decimal number of digits alone, held back at `limit`.
bool read_number(std::string_view text, unsigned long limit, unsigned long& value) {
    if (text.empty() || text.size() > 12) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    return value <= limit;
}

// The text up to the next '$' (all of it when there is none), and what follows the '$'.
std::string_view next_field(std::string_view& text) {
    std::size_t dollar = text.find('$');
    std::string_view field = text.substr(0, dollar);
    text = dollar == std::string_view::npos ? std::string_view() : text.substr(dollar + 1);
    return field;
}

// A stored value taken apart as far as it can be without the password.
struct parsed_value {
    verify_result fail;  // outcome match while nothing is wrong
    const scheme_entry* entry = nullptr;
    const crypt_method* method = nullptr;
    const char* family = "";
    std::string text;  // the value after its prefix, decoded
    bool weak = false;
    bool cost_known = false;
    unsigned long cost = 0, memory_kib = 0;
    std::string cost_token;  // yescrypt's parameters

    bool ok() const { return fail.outcome == verify_outcome::match; }
    parsed_value& failed(verify_outcome outcome, const char* detail) {
        fail.outcome = outcome;
        fail.detail = detail;
        return *this;
    }
};

bool crypt_salt_char(char c) {
    return c == '.' || c == '/' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
           (c >= 'a' && c <= 'z');
}

// Null for a value no method of ours starts like: a locked account's "!"
// or "*", or a method this table does not know.
const crypt_method* crypt_method_of(std::string_view text) {
    for (const crypt_method& method : crypt_methods)
        if (starts_with(text, method.prefix)) return &method;
    if (text.size() >= 2 && crypt_salt_char(text[0]) && crypt_salt_char(text[1])) return &des_crypt;
    return nullptr;
}

// The cost a crypt value or setting carries; false when it is unreadable.
bool read_crypt_cost(const crypt_method& method, std::string_view text, parsed_value& value) {
    std::string_view rest = text.substr(std::strlen(method.prefix));
    switch (method.cost) {
    case crypt_cost::fixed:
        value.cost_known = true;
        return true;
    case crypt_cost::unread:
        return true;
    case crypt_cost::bcrypt:
        value.cost_known = true;
        return read_number(next_field(rest), 31, value.cost) && rest.size() >= 22;
    case crypt_cost::sha:
        value.cost_known = true;
        value.cost = 5000;  // no "rounds=" field
        if (starts_with(rest, "rounds="))
            return read_number(next_field(rest).substr(7), ULONG_MAX, value.cost);
        return true;
    case crypt_cost::yescrypt:
        value.cost_token = std::string(next_field(rest));
        return !value.cost_token.empty();
    }
    return false;
}

// "$argon2id$v=19$m=65536,t=2,p=1$salt$hash" as libsodium reads it.
bool read_argon2(std::string_view text, parsed_value& value) {
    const char* family = nullptr;
    if (starts_with(text, "$argon2id$")) {
        family = "ARGON2ID";
    } else if (starts_with(text, "$argon2i$")) {
        family = "ARGON2I";
    } else {
        return false;
    }
    value.family = value.fail.scheme = family;
    std::string_view rest = text.substr(1);
    next_field(rest);
    if (next_field(rest) != "v=19") return false;
    std::string_view costs = next_field(rest);
    std::size_t comma1 = costs.find(','), comma2 = costs.rfind(',');
    if (comma1 == std::string_view::npos || comma1 == comma2) return false;
    std::string_view m = costs.substr(0, comma1), t = costs.substr(comma1 + 1, comma2 - comma1 - 1),
                     p = costs.substr(comma2 + 1);
    unsigned long lanes = 0;
    if (!starts_with(m, "m=") || !starts_with(t, "t=") || !starts_with(p, "p=") ||
        !read_number(m.substr(2), UINT32_MAX, value.memory_kib) ||
        !read_number(t.substr(2), UINT32_MAX, value.cost) ||
        !read_number(p.substr(2), 0xFFFFFF, lanes) || value.cost < 1 || lanes < 1 ||
        value.memory_kib < 8 * lanes)
        return false;
    value.cost_known = true;
    std::string salt, hash;
    std::string_view salt_text = next_field(rest);
    return decode_unpadded_base64(salt_text, salt) && salt.size() >= 8 &&
           decode_unpadded_base64(rest, hash) && hash.size() >= 16;
}

// "$1$salt$rounds$hex": salt text, rounds, 20 bytes of PBKDF2-HMAC-SHA1 in hex.
bool read_pbkdf2(std::string_view text, parsed_value& value) {
    if (!starts_with(text, "$1$")) return false;
    std::string_view rest = text.substr(3);
    std::string_view salt = next_field(rest);
    std::string hash;
    value.cost_known = true;
    return !salt.empty() && read_number(next_field(rest), INT_MAX, value.cost) && value.cost > 0 &&
           decode_text(text_encoding::hex, rest, hash) && hash.size() == 20;
}

parsed_value parse_stored(const std::optional<std::string_view>& stored,
                          std::string_view default_scheme) {
    parsed_value value;
    value.fail.outcome = verify_outcome::match;
    std::string_view text;
    std::optional<named_scheme> named;
    if (stored && !stored->empty() && stored->front() == '{' &&
        stored->find('}') != std::string_view::npos) {
        std::size_t close = stored->find('}');
        named = find_scheme(stored->substr(1, close - 1));
        if (!named)
            return value.failed(verify_outcome::unknown_scheme, "unknown scheme in stored value");
        text = stored->substr(close + 1);
    } else {
        named = find_scheme(default_scheme);
        if (!named) return value.failed(verify_outcome::unknown_scheme, "unknown default scheme");
        if (stored) text = *stored;
    }
    const scheme_entry& entry = *named->entry;
    value.entry = &entry;
    value.fail.scheme = entry.name;
    value.family = entry.family;
    value.weak = entry.weak;
    if (!stored) return value.failed(verify_outcome::malformed, "null stored value");
    if (text.empty()) return value.failed(verify_outcome::malformed, "empty stored value");

    text_encoding encoding = named->encoding;
    std::size_t digest_size =
        entry.md ? static_cast<std::size_t>(EVP_MD_get_size(entry.md())) : std::size_t(0);
    bool guessed = false;
    if (entry.what == kind::digest && !*named->suffix) {
        // Unsalted digests are written in hex or base64; the length tells which.
        guessed = true;
        encoding = text.size() == digest_size * 2 ? text_encoding::hex : text_encoding::base64;
    } else if (entry.what == kind::salted && !*named->suffix) {
        encoding = text_encoding::base64;
    }
    if (!decode_text(encoding, text, value.text)) {
        if (!(guessed && encoding == text_encoding::hex &&
              decode_text(text_encoding::base64, text, value.text)))
            return value.failed(verify_outcome::malformed, encoding == text_encoding::hex
                                                               ? "bad hex in stored value"
                                                               : "bad base64 in stored value");
    }

    switch (entry.what) {
    case kind::plain:
        value.cost_known = true;
        if (value.text.empty())
            return value.failed(verify_outcome::malformed, "empty stored value");
        break;
    case kind::digest:
        value.cost_known = true;
        if (value.text.size() != digest_size)
            return value.failed(verify_outcome::malformed, "stored digest of the wrong length");
        break;
    case kind::salted:
        value.cost_known = true;
        if (value.text.size() <= digest_size)
            return value.failed(verify_outcome::malformed, "salted value too short");
        break;
    case kind::argon2:
        if (!read_argon2(value.text, value))
            return value.failed(verify_outcome::malformed, "bad Argon2 value");
        break;
    case kind::pbkdf2:
        if (!read_pbkdf2(value.text, value))
            return value.failed(verify_outcome::malformed, "bad PBKDF2 value");
        break;
    case kind::crypt: {
        const crypt_method* method = crypt_method_of(value.text);
        if (!method) return value.failed(verify_outcome::malformed, "unknown crypt method");
        value.method = method;
        value.family = value.fail.scheme = method->family;
        value.weak = method->weak;
        if (value.text.find('\0') != std::string::npos)
            return value.failed(verify_outcome::malformed, "zero byte in crypt value");
        if (!read_crypt_cost(*method, value.text, value))
            return value.failed(verify_outcome::malformed, "bad crypt parameters");
        break;
    }
    }
    return value;
}

verify_result result(const parsed_value& value, bool matched) {
    verify_result out = value.fail;
    out.outcome = matched ? verify_outcome::match : verify_outcome::mismatch;
    out.detail = matched ? "" : "password does not match";
    return out;
}

// crypt_rn's working space, zeroed once as libxcrypt asks before its first
// use and kept: at 32 KiB, allocating and zeroing it at every check cost more
// than the rest of a check of ours (scheme_check_bench). libxcrypt wipes its
// own scratch at the end of every call; the caller wipes the output, which
// holds the hash of what was typed. One thread uses it.
crypt_data& crypt_space() {
    static const std::unique_ptr<crypt_data> space = std::make_unique<crypt_data>();
    return *space;
}

verify_result verify_crypt(std::string_view password, const parsed_value& value) {
    verify_result out = value.fail;
    // crypt(3) reads a C string: a password with a zero byte would be
    // cut there and match the value of its first part.
    if (password.find('\0') != std::string_view::npos) return result(value, false);
    secret_text copy(password);
    crypt_data* data = &crypt_space();
    const char* hashed = crypt_rn(copy.c_str(), value.text.c_str(), data, sizeof *data);
    bool failed = !hashed || hashed[0] == '*';
    // For one setting crypt(3) writes values of one length, so any other
    // length is a value cut short or run on; but for a DES value longer than
    // 13 characters (bigcrypt) the length follows the password's.
    std::string_view made = failed ? std::string_view() : std::string_view(hashed);
    bool matched = !failed && made.size() == value.text.size() && same_secret(made, value.text);
    bool cut = !failed && made.size() != value.text.size() &&
               !(value.method == &des_crypt && value.text.size() > 13);
    sodium_memzero(data->output, sizeof data->output);
    if (failed) {
        out.outcome = verify_outcome::malformed;
        out.detail = "crypt(3) refused the stored value";
        return out;
    }
    if (cut) {
        out.outcome = verify_outcome::malformed;
        out.detail = "crypt value of the wrong length";
        return out;
    }
    return result(value, matched);
}

verify_result verify_parsed(std::string_view password, const parsed_value& value,
                            const verify_options& options) {
    if (!value.ok()) return value.fail;
    if (value.weak && !options.allow_weak) {
        verify_result out = value.fail;
        out.outcome = verify_outcome::weak_refused;
        out.detail = "weak scheme refused";
        return out;
    }
    const scheme_entry& entry = *value.entry;
    switch (entry.what) {
    case kind::plain:
        return result(value, same_secret(password, value.text));
    case kind::digest:
        return result(value, same_secret(digest_of(entry.md(), password), value.text));
    case kind::salted: {
        std::size_t size = static_cast<std::size_t>(EVP_MD_get_size(entry.md()));
        std::string_view stored(value.text);
        return result(value, same_secret(digest_of(entry.md(), password, stored.substr(size)),
                                         stored.substr(0, size)));
    }
    case kind::pbkdf2: {
        std::string_view rest = std::string_view(value.text).substr(3);
        std::string_view salt = next_field(rest);
        next_field(rest);
        std::string hash;
        decode_text(text_encoding::hex, rest, hash);
        return result(value, same_secret(pbkdf2_sha1(password, salt, static_cast<int>(value.cost),
                                                     hash.size()),
                                         hash));
    }
    case kind::argon2:
        return result(value, crypto_pwhash_str_verify(value.text.c_str(), password.data(),
                                                      password.size()) == 0);
    case kind::crypt:
        return verify_crypt(password, value);
    }
    return value.fail;
}

// The schemes' default costs, as the libraries name them.
unsigned long long argon2_ops(const scheme_entry& entry, unsigned long cost) {
    if (cost) return cost;
    return std::strcmp(entry.family, "ARGON2I") == 0 ? crypto_pwhash_argon2i_OPSLIMIT_INTERACTIVE
                                                     : crypto_pwhash_argon2id_OPSLIMIT_INTERACTIVE;
}

std::size_t argon2_memory_bytes(const scheme_entry& entry, unsigned long memory_kib) {
    if (memory_kib) return static_cast<std::size_t>(memory_kib) * 1024;
    return std::strcmp(entry.family, "ARGON2I") == 0 ? crypto_pwhash_argon2i_MEMLIMIT_INTERACTIVE
                                                     : crypto_pwhash_argon2id_MEMLIMIT_INTERACTIVE;
}

const unsigned long pbkdf2_default_rounds = 5000;

std::optional<std::string> crypt_setting(const scheme_entry& entry, unsigned long cost) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (!crypt_gensalt_rn(entry.crypt_prefix, cost, nullptr, 0, setting, sizeof setting))
        return std::nullopt;
    return std::string(setting);
}

make_result make_failure(const char* error) {
    make_result out;
    out.error = error;
    return out;
}

}  // namespace

bool schemes_init() { return sodium_init() >= 0; }

bool scheme_known(std::string_view name) { return find_scheme(name).has_value(); }

const std::vector<scheme_listing>& scheme_list() {
    static const std::vector<scheme_listing> list = [] {
        std::vector<scheme_listing> out;
        for (const scheme_entry& entry : schemes)
            out.push_back({entry.name, entry.weak, entry.makes, entry.about});
        return out;
    }();
    return list;
}

const char* verify_outcome_name(verify_outcome outcome) {
    switch (outcome) {
    case verify_outcome::match:
        return "match";
    case verify_outcome::mismatch:
        return "mismatch";
    case verify_outcome::weak_refused:
        return "weak scheme refused";
    case verify_outcome::unknown_scheme:
        return "unknown scheme";
    case verify_outcome::malformed:
        return "malformed stored value";
    }
    return "?";
}

verify_result verify_password(std::string_view password,
                              const std::optional<std::string_view>& stored,
                              std::string_view default_scheme, const verify_options& options) {
    return verify_parsed(password, parse_stored(stored, default_scheme), options);
}

verify_result verify_unknown_user(std::string_view password, std::string_view scheme,
                                  const verify_options& options, const make_params* like) {
    std::optional<named_scheme> named = find_scheme(scheme);
    if (!named) {
        verify_result out;
        out.outcome = verify_outcome::unknown_scheme;
        out.detail = "unknown default scheme";
        return out;
    }
    std::string dummy = std::string("{") + named->entry->name + "}" + named->entry->dummy;
    if (like) {
        // Made once per cost, from a password that is thrown away at once.
        static std::map<std::string, std::string> made;
        std::string key = std::string(named->entry->name) + " " + std::to_string(like->cost) + " " +
                          std::to_string(like->memory_kib);
        auto found = made.find(key);
        if (found == made.end()) {
            // A table holds values of a few costs; the list stays short
            // whatever it holds.
            if (made.size() >= 8) made.clear();
            make_params params = *like;
            params.scheme = named->entry->name;
            make_result fresh =
                make_stored_value(encode_text(text_encoding::base64, random_bytes(18)), params);
            found = made.emplace(key, fresh.value ? *fresh.value : dummy).first;
        }
        dummy = found->second;
    }
    verify_result out = verify_password(password, dummy, scheme, options);
    if (out.matched()) out.outcome = verify_outcome::mismatch;
    return out;
}

stored_value_info inspect_stored_value(const std::optional<std::string_view>& stored,
                                       std::string_view default_scheme) {
    parsed_value value = parse_stored(stored, default_scheme);
    stored_value_info info;
    info.well_formed = value.ok();
    info.problem = value.fail.outcome;
    info.scheme = value.fail.scheme;
    info.detail = value.fail.detail;
    info.weak = value.weak;
    info.cost_known = value.cost_known;
    info.cost = value.cost;
    info.memory_kib = value.memory_kib;
    return info;
}

make_result make_stored_value(std::string_view password, const make_params& params) {
    std::optional<named_scheme> named = find_scheme(params.scheme);
    if (!named) return make_failure("unknown scheme");
    const scheme_entry& entry = *named->entry;
    if (entry.weak) return make_failure("weak scheme: not made");
    if (!entry.makes) return make_failure("values of this scheme are not made");
    if (password.empty()) return make_failure("empty password");
    bool encoded = entry.what == kind::digest || entry.what == kind::salted;
    if (*named->suffix && !encoded && entry.what != kind::plain)
        return make_failure("this scheme takes no encoding suffix");
    text_encoding encoding = *named->suffix ? named->encoding
                             : encoded      ? text_encoding::base64
                                            : text_encoding::none;

    std::string body;
    switch (entry.what) {
    case kind::plain:
        body = password;
        break;
    case kind::digest:
        body = digest_of(entry.md(), password);
        break;
    case kind::salted: {
        std::string salt = random_bytes(16);
        body = digest_of(entry.md(), password, salt) + salt;
        break;
    }
    case kind::pbkdf2: {
        unsigned long rounds = params.cost ? params.cost : pbkdf2_default_rounds;
        if (rounds > INT_MAX) return make_failure("cost out of range for the scheme");
        std::string salt = random_salt_text(16);
        body = "$1$" + salt + "$" + std::to_string(rounds) + "$" +
               encode_text(text_encoding::hex,
                           pbkdf2_sha1(password, salt, static_cast<int>(rounds), 20));
        break;
    }
    case kind::argon2: {
        bool argon2i = std::strcmp(entry.family, "ARGON2I") == 0;
        unsigned long long ops = argon2_ops(entry, params.cost);
        std::size_t memory = argon2_memory_bytes(entry, params.memory_kib);
        if (ops < (argon2i ? crypto_pwhash_argon2i_OPSLIMIT_MIN
                           : crypto_pwhash_argon2id_OPSLIMIT_MIN) ||
            ops > crypto_pwhash_OPSLIMIT_MAX || memory < crypto_pwhash_MEMLIMIT_MIN ||
            memory > crypto_pwhash_MEMLIMIT_MAX)
            return make_failure("cost out of range for the scheme");
        char out[crypto_pwhash_STRBYTES];
        if (crypto_pwhash_str_alg(
                out, password.data(), password.size(), ops, memory,
                argon2i ? crypto_pwhash_ALG_ARGON2I13 : crypto_pwhash_ALG_ARGON2ID13) != 0)
            return make_failure("libsodium could not hash (out of memory?)");
        body = out;
        break;
    }
    case kind::crypt: {
        if (password.find('\0') != std::string_view::npos)
            return make_failure("crypt(3) cannot take a password with a zero byte");
        // bcrypt would keep only the first 72 bytes: a value that ignores
        // the rest of the password is not made behind the user's back.
        if (std::strcmp(entry.family, "BLF-CRYPT") == 0 && password.size() > 72)
            return make_failure("password longer than the 72 bytes bcrypt reads");
        std::optional<std::string> setting = crypt_setting(entry, params.cost);
        if (!setting) return make_failure("cost out of range for the scheme");
        secret_text copy(password);
        crypt_data* data = &crypt_space();
        const char* hashed = crypt_rn(copy.c_str(), setting->c_str(), data, sizeof *data);
        if (hashed && hashed[0] != '*') body = hashed;
        sodium_memzero(data->output, sizeof data->output);
        if (body.empty()) return make_failure("crypt(3) could not hash");
        break;
    }
    }
    make_result out;
    out.value = std::string("{") + entry.name + named->suffix + "}" + encode_text(encoding, body);
    return out;
}

bool needs_rehash(const std::optional<std::string_view>& stored, std::string_view default_scheme,
                  const make_params& target) {
    parsed_value value = parse_stored(stored, default_scheme);
    std::optional<named_scheme> named = find_scheme(target.scheme);
    if (!value.ok() || !named) return false;
    const scheme_entry& entry = *named->entry;
    if (std::strcmp(value.family, entry.family) != 0) return true;
    switch (entry.what) {
    case kind::argon2:
        return value.cost < argon2_ops(entry, target.cost) ||
               value.memory_kib * 1024 < argon2_memory_bytes(entry, target.memory_kib);
    case kind::pbkdf2:
        return value.cost < (target.cost ? target.cost : pbkdf2_default_rounds);
    case kind::crypt: {
        if (!entry.crypt_prefix) return false;
        std::optional<std::string> setting = crypt_setting(entry, target.cost);
        parsed_value wanted;
        const crypt_method* method = setting ? crypt_method_of(*setting) : nullptr;
        if (!method || !value.method || !read_crypt_cost(*method, *setting, wanted)) return false;
        if (value.method->cost == crypt_cost::yescrypt)
            return value.cost_token != wanted.cost_token;
        return value.cost < wanted.cost;
    }
    default:
        return false;
    }
}
