// The table of schemes and of crypt(3) methods, a scheme found by its name,
// and the listings quillmar-pw and -check print.
#include "schemes/schemes.h"

#include <sodium.h>

#include <iterator>

#include "schemes/scheme_table.h"

using namespace schemes_detail;

namespace schemes_detail {

namespace {

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

}  // namespace

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

namespace {

char ascii_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (ascii_upper(a[i]) != ascii_upper(b[i])) return false;
    return true;
}

}  // namespace

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

namespace {

bool crypt_salt_char(char c) {
    return c == '.' || c == '/' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
           (c >= 'a' && c <= 'z');
}

}  // namespace

// Null for a value no method of ours starts like: a locked account's "!"
// or "*", or a method this table does not know.
const crypt_method* crypt_method_of(std::string_view text) {
    for (const crypt_method& method : crypt_methods)
        if (starts_with(text, method.prefix)) return &method;
    if (text.size() >= 2 && crypt_salt_char(text[0]) && crypt_salt_char(text[1])) return &des_crypt;
    return nullptr;
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

}  // namespace schemes_detail

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

const char* rehash_target_refusal(std::string_view scheme) {
    std::optional<named_scheme> named = find_scheme(scheme);
    if (!named) return nullptr;
    if (named->entry->what == kind::plain) return "would store passwords in plain text";
    if (named->entry->what == kind::digest) return "is an unsalted digest, quick to crack";
    if (named->entry->weak) return "is a weak scheme";
    return nullptr;
}
