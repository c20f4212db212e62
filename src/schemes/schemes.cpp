#include "schemes/schemes.h"

#include <crypt.h>
#include <openssl/evp.h>
#include <sodium.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
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
    // For the schemes not made: a value whose password nobody knows,
    // verified for a user the table does not hold.
    const char* dummy;
    const char* about;
};

const scheme_entry schemes[] = {
    {"ARGON2ID", kind::argon2, "ARGON2ID", nullptr, false, nullptr, true, nullptr,
     "Argon2id (libsodium); made at libsodium's interactive limits (64 MiB, 2 passes)"},
    {"ARGON2I", kind::argon2, "ARGON2I", nullptr, false, nullptr, true, nullptr,
     "Argon2i (libsodium); made at libsodium's interactive limits (32 MiB, 4 passes)"},
    {"CRYPT", kind::crypt, "YESCRYPT", nullptr, false, "$y$", true, nullptr,
     "crypt(3), any method libxcrypt reads; made as yescrypt"},
    {"BLF-CRYPT", kind::crypt, "BLF-CRYPT", nullptr, false, "$2y$", true, nullptr,
     "bcrypt; reads only the first 72 bytes of a password"},
    {"SHA512-CRYPT", kind::crypt, "SHA512-CRYPT", nullptr, false, "$6$", true, nullptr,
     "SHA-512 crypt"},
    {"SHA256-CRYPT", kind::crypt, "SHA256-CRYPT", nullptr, false, "$5$", true, nullptr,
     "SHA-256 crypt"},
    {"MD5-CRYPT", kind::crypt, "MD5-CRYPT", nullptr, true, nullptr, false,
     "$1$fax.bNCV$LUKqR6zdTmRU9tZBg9c9r/", "MD5 crypt"},
    {"MD5", kind::crypt, "MD5-CRYPT", nullptr, true, nullptr, false,
     "$1$fax.bNCV$LUKqR6zdTmRU9tZBg9c9r/", "MD5 crypt, by its other name"},
    {"DES-CRYPT", kind::crypt, "DES-CRYPT", nullptr, true, nullptr, false, "LZDRW9P9ZfBA6",
     "traditional DES crypt"},
    {"PBKDF2", kind::pbkdf2, "PBKDF2", nullptr, false, nullptr, true, nullptr,
     "PBKDF2 with HMAC-SHA1; made with 5000 rounds"},
    {"SHA", kind::digest, "SHA", EVP_sha1, false, nullptr, true, nullptr, "SHA-1, unsalted"},
    {"SHA1", kind::digest, "SHA", EVP_sha1, false, nullptr, true, nullptr, "SHA-1, unsalted"},
    {"SHA256", kind::digest, "SHA256", EVP_sha256, false, nullptr, true, nullptr,
     "SHA-256, unsalted"},
    {"SHA512", kind::digest, "SHA512", EVP_sha512, false, nullptr, true, nullptr,
     "SHA-512, unsalted"},
    {"SSHA", kind::salted, "SSHA", EVP_sha1, false, nullptr, true, nullptr, "salted SHA-1"},
    {"SSHA256", kind::salted, "SSHA256", EVP_sha256, false, nullptr, true, nullptr,
     "salted SHA-256"},
    {"SSHA512", kind::salted, "SSHA512", EVP_sha512, false, nullptr, true, nullptr,
     "salted SHA-512"},
    {"PLAIN", kind::plain, "PLAIN", nullptr, false, nullptr, true, nullptr, "the password itself"},
    {"CLEAR", kind::plain, "PLAIN", nullptr, false, nullptr, true, nullptr, "the password itself"},
    {"CLEARTEXT", kind::plain, "PLAIN", nullptr, false, nullptr, true, nullptr,
     "the password itself"},
    {"PLAIN-MD5", kind::digest, "PLAIN-MD5", EVP_md5, true, nullptr, false,
     "a4a6671247ecbd1a28d3d745cea03bf0", "MD5, unsalted"},
    {"LDAP-MD5", kind::digest, "PLAIN-MD5", EVP_md5, true, nullptr, false,
     "6FPIY3O2d4RowXftBb0P2A==", "MD5, unsalted"},
    {"SMD5", kind::salted, "SMD5", EVP_md5, true, nullptr, false,
     "Qfa599PL62pujVm9QiY+QqScSEw=", "salted MD5"},
};

// The order of strength a rewrite never goes down: what an attacker holding
// the table pays for a guess.
enum strength { plain_text, weak_or_unsalted, salted_digest, iterated, bcrypt, memory_hard };

// The crypt(3) methods told apart by the start of a value. Weak ones are
// those an attacker with the table cracks cheaply, and the legacy methods
// libxcrypt keeps only for old values.
enum class crypt_cost { fixed, bcrypt, sha, yescrypt, scrypt, sun_md5, sha1, bsdi };

struct crypt_method {
    const char* prefix;
    const char* family;
    bool weak;
    crypt_cost cost;
    strength rank;
};

const crypt_method crypt_methods[] = {
    {"$y$", "YESCRYPT", false, crypt_cost::yescrypt, memory_hard},
    {"$gy$", "GOST-YESCRYPT", false, crypt_cost::yescrypt, memory_hard},
    {"$7$", "SCRYPT", false, crypt_cost::scrypt, memory_hard},
    {"$2a$", "BLF-CRYPT", false, crypt_cost::bcrypt, bcrypt},
    {"$2b$", "BLF-CRYPT", false, crypt_cost::bcrypt, bcrypt},
    {"$2y$", "BLF-CRYPT", false, crypt_cost::bcrypt, bcrypt},
    // $2x$ is the mode that repeats an old bug with 8-bit characters.
    {"$2x$", "BLF-CRYPT-2X", true, crypt_cost::bcrypt, weak_or_unsalted},
    {"$6$", "SHA512-CRYPT", false, crypt_cost::sha, iterated},
    {"$5$", "SHA256-CRYPT", false, crypt_cost::sha, iterated},
    {"$1$", "MD5-CRYPT", true, crypt_cost::fixed, weak_or_unsalted},
    {"$md5", "SUN-MD5-CRYPT", true, crypt_cost::sun_md5, weak_or_unsalted},
    {"$sha1$", "SHA1-CRYPT", true, crypt_cost::sha1, weak_or_unsalted},
    {"$3$", "NT-HASH-CRYPT", true, crypt_cost::fixed, weak_or_unsalted},
    {"_", "BSDI-CRYPT", true, crypt_cost::bsdi, weak_or_unsalted},
};
const crypt_method des_crypt = {"", "DES-CRYPT", true, crypt_cost::fixed, weak_or_unsalted};

// The ceilings, in the order of cost_ceilings.
const cost_ceiling_listing ceilings[] = {
    {"argon2", &cost_ceilings::argon2, "KiB x passes", "ARGON2ID, ARGON2I"},
    {"yescrypt", &cost_ceilings::yescrypt, "KiB x passes", "yescrypt, GOST-yescrypt, scrypt"},
    {"bcrypt", &cost_ceilings::bcrypt, "log2 rounds", "BLF-CRYPT"},
    {"sha_crypt", &cost_ceilings::sha_crypt, "rounds", "SHA512-CRYPT, SHA256-CRYPT"},
    {"pbkdf2", &cost_ceilings::pbkdf2, "rounds", "PBKDF2"},
    {"legacy_crypt", &cost_ceilings::legacy_crypt, "rounds",
     "SHA1-CRYPT, SUN-MD5-CRYPT, BSDI-CRYPT"},
};
enum ceiling_index {
    argon2_ceiling,
    yescrypt_ceiling,
    bcrypt_ceiling,
    sha_ceiling,
    pbkdf2_ceiling,
    legacy_ceiling
};

unsigned long long times(unsigned long long a, unsigned long long b) {
    return a != 0 && b > ULLONG_MAX / a ? ULLONG_MAX : a * b;
}

strength strength_of(const scheme_entry& entry);

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
    strength rank = plain_text;
    bool cost_known = false;
    unsigned long cost = 0, memory_kib = 0;
    std::string cost_token;                         // yescrypt's parameters
    const cost_ceiling_listing* ceiling = nullptr;  // null for a value of fixed cost
    unsigned long long work = 0;                    // in the ceiling's unit

    void holds_to(ceiling_index which, unsigned long long amount) {
        ceiling = &ceilings[which];
        work = amount;
    }

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

// A character of crypt's base64 alphabet "./0-9A-Za-z" as a number; 64 for
// any other.
unsigned crypt_digit(char c) {
    if (c == '.' || c == '/') return static_cast<unsigned>(c - '.');
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0' + 2);
    if (c >= 'A' && c <= 'Z') return static_cast<unsigned>(c - 'A' + 12);
    if (c >= 'a' && c <= 'z') return static_cast<unsigned>(c - 'a' + 38);
    return 64;
}

// `count` characters, the lowest six bits first (scrypt's r and p, BSDI's rounds).
bool crypt_fixed_number(std::string_view& text, std::size_t count, unsigned long long& value) {
    if (text.size() < count) return false;
    value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        unsigned digit = crypt_digit(text[i]);
        if (digit > 63) return false;
        value |= static_cast<unsigned long long>(digit) << (6 * i);
    }
    text.remove_prefix(count);
    return true;
}

// yescrypt's numbers of variable length: the first character's range says
// how many characters follow, each six bits more.
bool yescrypt_number(std::string_view& text, unsigned long long least, unsigned long long& value) {
    if (text.empty() || crypt_digit(text[0]) > 63) return false;
    unsigned long long digit = crypt_digit(text[0]), start = 0, end = 47, bits = 0;
    std::size_t chars = 1;
    value = least;
    while (digit > end) {
        value += (end + 1 - start) << bits;
        start = end + 1;
        end = start + (62 - end) / 2;
        ++chars;
        bits += 6;
    }
    value += (digit - start) << bits;
    if (text.size() < chars) return false;
    for (std::size_t i = 1; i < chars; ++i) {
        unsigned next = crypt_digit(text[i]);
        if (next > 63) return false;
        bits -= 6;
        value += static_cast<unsigned long long>(next) << bits;
    }
    text.remove_prefix(chars);
    return true;
}

// "j9T" and the like: flavour, log2 N, r, and optionally which of p, t, g
// and a ROM follow. The work is yescrypt's memory (128 bytes times N times
// r) times p times the passes. Upgrades and ROMs, which libxcrypt does not
// make, are not read: their cost is not bounded here.
bool read_yescrypt_cost(std::string_view parameters, parsed_value& value) {
    unsigned long long flavour, log2_n, r, have = 0, p = 1, t = 0, g = 0, rom = 0;
    if (!yescrypt_number(parameters, 0, flavour) || !yescrypt_number(parameters, 1, log2_n) ||
        !yescrypt_number(parameters, 1, r))
        return false;
    if (!parameters.empty() && !yescrypt_number(parameters, 1, have)) return false;
    if ((have & 1 && !yescrypt_number(parameters, 2, p)) ||
        (have & 2 && !yescrypt_number(parameters, 1, t)) ||
        (have & 4 && !yescrypt_number(parameters, 1, g)) ||
        (have & 8 && !yescrypt_number(parameters, 1, rom)))
        return false;
    if (!parameters.empty() || have > 15 || g || rom || log2_n > 63) return false;
    value.holds_to(yescrypt_ceiling, times(times(times(1ULL << log2_n, r), p), t + 1) / 8);
    return true;
}

// The cost a crypt value or setting carries; false when it is unreadable.
bool read_crypt_cost(const crypt_method& method, std::string_view text, parsed_value& value) {
    std::string_view rest = text.substr(std::strlen(method.prefix));
    unsigned long long n = 0, r = 0, p = 0;
    switch (method.cost) {
    case crypt_cost::fixed:
        value.cost_known = true;
        return true;
    case crypt_cost::bcrypt:
        value.cost_known = true;
        if (!read_number(next_field(rest), 31, value.cost) || rest.size() < 22) return false;
        value.holds_to(bcrypt_ceiling, value.cost);
        return true;
    case crypt_cost::sha:
        value.cost_known = true;
        value.cost = 5000;  // no "rounds=" field
        if (starts_with(rest, "rounds=") &&
            !read_number(next_field(rest).substr(7), ULONG_MAX, value.cost))
            return false;
        value.holds_to(sha_ceiling, value.cost);
        return true;
    case crypt_cost::yescrypt:
        value.cost_token = std::string(next_field(rest));
        return !value.cost_token.empty() && read_yescrypt_cost(value.cost_token, value);
    case crypt_cost::scrypt:
        // log2 N in one character, then r and p in five each.
        n = crypt_digit(rest.empty() ? '*' : rest[0]);
        if (n > 63) return false;
        rest.remove_prefix(1);
        if (!crypt_fixed_number(rest, 5, r) || !crypt_fixed_number(rest, 5, p)) return false;
        value.holds_to(yescrypt_ceiling, times(times(1ULL << n, r), p) / 8);
        return true;
    case crypt_cost::sun_md5:
        // "$md5,rounds=N$salt$..." or "$md5$salt$..."
        if (starts_with(rest, ",rounds=") &&
            !read_number(next_field(rest).substr(8), ULONG_MAX, value.cost))
            return false;
        value.holds_to(legacy_ceiling, value.cost);
        return true;
    case crypt_cost::sha1:
        if (!read_number(next_field(rest), ULONG_MAX, value.cost)) return false;
        value.holds_to(legacy_ceiling, value.cost);
        return true;
    case crypt_cost::bsdi:
        if (!crypt_fixed_number(rest, 4, n)) return false;
        value.holds_to(legacy_ceiling, n);
        return true;
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
    value.holds_to(argon2_ceiling, times(value.memory_kib, value.cost));
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
    if (salt.empty() || !read_number(next_field(rest), INT_MAX, value.cost) || value.cost == 0)
        return false;
    value.holds_to(pbkdf2_ceiling, value.cost);
    return decode_text(text_encoding::hex, rest, hash) && hash.size() == 20;
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
    value.rank = strength_of(entry);
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
        value.rank = method->rank;
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
    // Nor does it take a passphrase of CRYPT_MAX_PASSPHRASE_SIZE bytes or
    // more: such a password matches nothing, which is no fault of the stored
    // value, and its first part is hashed so that the answer takes as long.
    const bool too_long = password.size() >= CRYPT_MAX_PASSPHRASE_SIZE;
    if (too_long) password = password.substr(0, CRYPT_MAX_PASSPHRASE_SIZE - 1);
    secret_text copy(password);
    crypt_data* data = &crypt_space();
    const char* hashed = crypt_rn(copy.c_str(), value.text.c_str(), data, sizeof *data);
    bool failed = !hashed || hashed[0] == '*';
    // For one setting crypt(3) writes values of one length, so any other
    // length is a value cut short or run on; but for a DES value longer than
    // 13 characters (bigcrypt) the length follows the password's.
    std::string_view made = failed ? std::string_view() : std::string_view(hashed);
    bool matched =
        !failed && made.size() == value.text.size() && same_secret(made, value.text) && !too_long;
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
    if (value.ceiling && value.work > options.ceilings.*value.ceiling->field) {
        verify_result out = value.fail;
        out.outcome = verify_outcome::too_costly;
        out.detail = "cost above its ceiling";
        out.ceiling = value.ceiling->name;
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

strength strength_of(const scheme_entry& entry) {
    if (entry.weak) return weak_or_unsalted;
    switch (entry.what) {
    case kind::plain:
        return plain_text;
    case kind::digest:
        return weak_or_unsalted;
    case kind::salted:
        return salted_digest;
    case kind::pbkdf2:
        return iterated;
    case kind::argon2:
        return memory_hard;
    case kind::crypt: {
        const crypt_method* method =
            entry.crypt_prefix ? crypt_method_of(entry.crypt_prefix) : nullptr;
        return method ? method->rank : weak_or_unsalted;
    }
    }
    return plain_text;
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

const std::vector<cost_ceiling_listing>& cost_ceiling_list() {
    static const std::vector<cost_ceiling_listing> list(std::begin(ceilings), std::end(ceilings));
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
    case verify_outcome::too_costly:
        return "cost above its ceiling";
    }
    return "?";
}

verify_result verify_password(std::string_view password,
                              const std::optional<std::string_view>& stored,
                              std::string_view default_scheme, const verify_options& options) {
    return verify_parsed(password, parse_stored(stored, default_scheme), options);
}

make_result make_dummy_value(const make_params& params) {
    std::optional<named_scheme> named = find_scheme(params.scheme);
    if (!named) return make_failure("unknown scheme");
    const scheme_entry& entry = *named->entry;
    if (!entry.makes) {
        if (!entry.dummy) return make_failure("values of this scheme are not made");
        make_result out;
        out.value = std::string("{") + entry.name + "}" + entry.dummy;
        return out;
    }
    secret_text password(encode_text(text_encoding::base64, random_bytes(18)));
    make_result made = make_stored_value(password.text(), params);
    if (!made.value && *named->suffix) {
        make_params bare = params;
        bare.scheme = entry.name;
        made = make_stored_value(password.text(), bare);
    }
    return made;
}

verify_result verify_unknown_user(std::string_view password, std::string_view dummy,
                                  std::string_view default_scheme, const verify_options& options) {
    verify_options unbounded = options;
    for (const cost_ceiling_listing& ceiling : ceilings)
        unbounded.ceilings.*ceiling.field = ULONG_MAX;
    verify_result out = verify_password(password, dummy, default_scheme, unbounded);
    if (out.matched()) {
        out.outcome = verify_outcome::mismatch;
        out.detail = "password does not match";
    }
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
    info.ceiling = value.ceiling ? value.ceiling->name : "";
    info.work = value.work;
    return info;
}

stored_value_info inspect_make_params(const make_params& params) {
    stored_value_info info;
    std::optional<named_scheme> named = find_scheme(params.scheme);
    if (!named) return info;
    const scheme_entry& entry = *named->entry;
    parsed_value value;
    switch (entry.what) {
    case kind::argon2:
        value.holds_to(argon2_ceiling, times(argon2_ops(entry, params.cost),
                                             argon2_memory_bytes(entry, params.memory_kib) / 1024));
        break;
    case kind::pbkdf2:
        value.holds_to(pbkdf2_ceiling, params.cost ? params.cost : pbkdf2_default_rounds);
        break;
    case kind::crypt: {
        std::optional<std::string> setting =
            entry.crypt_prefix ? crypt_setting(entry, params.cost) : std::nullopt;
        const crypt_method* method = setting ? crypt_method_of(*setting) : nullptr;
        if (method) read_crypt_cost(*method, *setting, value);
        break;
    }
    default:
        break;
    }
    info.scheme = entry.name;
    info.ceiling = value.ceiling ? value.ceiling->name : "";
    info.work = value.work;
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
        if (password.size() >= CRYPT_MAX_PASSPHRASE_SIZE)
            return make_failure("password longer than crypt(3) takes");
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
    if (strength_of(entry) < value.rank) return false;
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

std::size_t password_bytes_read(const std::optional<std::string_view>& stored,
                                std::string_view default_scheme) {
    parsed_value value = parse_stored(stored, default_scheme);
    if (!value.ok() || !value.method) return SIZE_MAX;
    if (value.method->cost == crypt_cost::bcrypt) return 72;
    // bigcrypt, a DES value of more than 13 characters, reads 8 bytes for
    // each 11 characters after the salt.
    if (value.method == &des_crypt)
        return 8 * std::max<std::size_t>(1, (value.text.size() - 2) / 11);
    return SIZE_MAX;
}

const char* rehash_target_refusal(std::string_view scheme) {
    std::optional<named_scheme> named = find_scheme(scheme);
    if (!named) return nullptr;
    if (named->entry->what == kind::plain) return "would store passwords in plain text";
    if (named->entry->what == kind::digest) return "is an unsalted digest, quick to crack";
    if (named->entry->weak) return "is a weak scheme";
    return nullptr;
}
