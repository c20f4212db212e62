// A stored value read without the password: its scheme, its cost and what
// it holds, and the judgments made on those alone (whether it wants making
// again, how much of a password it reads).
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

#include "schemes/scheme_table.h"
#include "schemes/schemes.h"

using namespace schemes_detail;

namespace schemes_detail {

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

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

}  // namespace schemes_detail

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
