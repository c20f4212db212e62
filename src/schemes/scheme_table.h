// What the files of this folder share and nothing outside it reads: the
// table of schemes, the crypt(3) methods told apart by the start of a value,
// the cost ceilings, and a stored value taken apart. Each call of schemes.h
// finds its scheme here, then reads a stored value (stored_values.cpp),
// verifies a password against one (scheme_verify.cpp) or makes one
// (scheme_make.cpp).
#pragma once

#include <crypt.h>
#include <openssl/evp.h>

#include <climits>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "schemes/scheme_codecs.h"
#include "schemes/schemes.h"

namespace schemes_detail {

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

extern const crypt_method des_crypt;

enum ceiling_index {
    argon2_ceiling,
    yescrypt_ceiling,
    bcrypt_ceiling,
    sha_ceiling,
    pbkdf2_ceiling,
    legacy_ceiling
};
// Sized by the index, so that a ceiling added to the one and not the other
// does not compile.
extern const cost_ceiling_listing ceilings[legacy_ceiling + 1];

inline unsigned long long times(unsigned long long a, unsigned long long b) {
    return a != 0 && b > ULLONG_MAX / a ? ULLONG_MAX : a * b;
}

inline bool starts_with(std::string_view text, std::string_view start) {
    return text.substr(0, start.size()) == start;
}

// The text up to the next '$' (all of it when there is none), and what follows the '$'.
inline std::string_view next_field(std::string_view& text) {
    std::size_t dollar = text.find('$');
    std::string_view field = text.substr(0, dollar);
    text = dollar == std::string_view::npos ? std::string_view() : text.substr(dollar + 1);
    return field;
}

struct named_scheme {
    const scheme_entry* entry = nullptr;
    text_encoding encoding = text_encoding::none;
    const char* suffix = "";
};

std::optional<named_scheme> find_scheme(std::string_view name);
strength strength_of(const scheme_entry& entry);
const crypt_method* crypt_method_of(std::string_view text);

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

// Read without the password (stored_values.cpp).
parsed_value parse_stored(const std::optional<std::string_view>& stored,
                          std::string_view default_scheme);
bool read_crypt_cost(const crypt_method& method, std::string_view text, parsed_value& value);

// The costs values are made at (scheme_make.cpp).
unsigned long long argon2_ops(const scheme_entry& entry, unsigned long cost);
std::size_t argon2_memory_bytes(const scheme_entry& entry, unsigned long memory_kib);
const unsigned long pbkdf2_default_rounds = 5000;
std::optional<std::string> crypt_setting(const scheme_entry& entry, unsigned long cost);

// crypt_rn's working space (scheme_verify.cpp).
crypt_data& crypt_space();

}  // namespace schemes_detail
