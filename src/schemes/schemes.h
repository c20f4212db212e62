// Password schemes: a given password checked against a stored value written
// the way Dovecot writes them ("{SCHEME}value", or a bare value in a default
// scheme), each value's cost held to a ceiling, new stored values made, and
// old ones judged for making again. Stands on libsodium, libxcrypt and
// OpenSSL's libcrypto alone.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class verify_outcome {
    match,
    mismatch,
    weak_refused,    // a weak scheme while weak schemes are not allowed
    unknown_scheme,  // a name no scheme has, or one not verified here
    malformed,       // null, empty, bad encoding, truncated, bad parameters
    too_costly,      // a cost above its family's ceiling: not verified
};

// The texts are fixed texts of this module, never parts of a password or of a
// stored value, so that any of them may go to a log line as it is.
struct verify_result {
    verify_outcome outcome = verify_outcome::malformed;
    const char* scheme = "";   // the scheme that judged, e.g. "MD5-CRYPT" for a "$1$" crypt value
    const char* detail = "";   // what was wrong, for the log line of a failure
    const char* ceiling = "";  // the cost_ceilings entry a too costly value is above
    bool matched() const { return outcome == verify_outcome::match; }
};

// The most a stored value may cost to verify, for each family whose values
// carry their cost. No deadline can stop a hash once begun, so a value above
// its ceiling is refused unverified: one row must not stall the process.
// The defaults are at least 4 times the cost each strong family's values
// are usually made at, and each takes under a second on one core.
struct cost_ceilings {
    unsigned long argon2 = 524288;    // ARGON2ID, ARGON2I: memory in KiB times passes
    unsigned long yescrypt = 262144;  // yescrypt, GOST-yescrypt, scrypt: memory in KiB times passes
    unsigned long bcrypt = 13;        // BLF-CRYPT: log2 of rounds
    unsigned long sha_crypt = 2000000;    // SHA512-CRYPT, SHA256-CRYPT: rounds
    unsigned long pbkdf2 = 2000000;       // PBKDF2: rounds
    unsigned long legacy_crypt = 500000;  // SHA1-CRYPT, SUN-MD5-CRYPT, BSDI-CRYPT: rounds
};

struct cost_ceiling_listing {
    const char* name;  // "argon2", as verify_result::ceiling names it
    unsigned long cost_ceilings::*field;
    const char* unit;
    const char* families;
};

const std::vector<cost_ceiling_listing>& cost_ceiling_list();

struct verify_options {
    bool allow_weak = false;
    cost_ceilings ceilings;
};

// A scheme to make values in: the target of quillmar-pw and of a rehash.
// cost 0 and memory_kib 0 stand for the scheme's defaults: libsodium's
// interactive limits for the Argon2 schemes, libxcrypt's default cost for
// the crypt schemes, 5000 rounds for PBKDF2.
struct make_params {
    std::string scheme = "ARGON2ID";
    unsigned long cost = 0;        // Argon2: passes; BLF-CRYPT: log2 of rounds; SHA*-CRYPT,
                                   // PBKDF2: rounds; CRYPT (yescrypt): libxcrypt's 1..11
    unsigned long memory_kib = 0;  // Argon2 only
};

struct make_result {
    std::optional<std::string> value;  // "{SCHEME}..." when made
    const char* error = "";            // why not, a fixed text
};

// What can be told of a stored value without the password.
struct stored_value_info {
    bool well_formed = false;
    verify_outcome problem = verify_outcome::malformed;  // when not well formed
    const char* scheme = "";
    const char* detail = "";
    bool weak = false;
    bool cost_known = false;       // false for schemes without a cost and crypt methods not read
    unsigned long cost = 0;        // in the units of make_params::cost
    unsigned long memory_kib = 0;  // Argon2 only
    const char* ceiling = "";      // the cost_ceilings entry that holds it, "" for none
    unsigned long long work = 0;   // in that entry's unit
};

struct scheme_listing {
    const char* name;
    bool weak;
    bool makes;  // quillmar-pw and a rehash can make values in it
    const char* about;
};

// Readies libsodium; false when it cannot start. Call once before the rest.
bool schemes_init();

// A scheme name as an ini file or a prefix writes it, in any letter case and
// with an optional ".HEX" or ".B64" suffix.
bool scheme_known(std::string_view name);

const std::vector<scheme_listing>& scheme_list();

// `stored` empty stands for a NULL column. A value without a "{SCHEME}"
// prefix is read in `default_scheme`.
verify_result verify_password(std::string_view password,
                              const std::optional<std::string_view>& stored,
                              std::string_view default_scheme, const verify_options& options = {});

// A value of `params` made from a random password that is thrown away, for
// users the table does not hold. Weak schemes are not made: theirs is a
// fixed value of the scheme. A scheme written with an encoding suffix its
// values do not take is made without it (the cost is the same).
make_result make_dummy_value(const make_params& params);

// For a user the table does not hold: verifies against `dummy` (a value of
// make_dummy_value, or one the administrator gave, read in `default_scheme`
// when it has no prefix) so that the answer costs what a known user's wrong
// password costs; never matches. The ceilings do not hold the dummy, which
// is no row's.
verify_result verify_unknown_user(std::string_view password, std::string_view dummy,
                                  std::string_view default_scheme,
                                  const verify_options& options = {});

stored_value_info inspect_stored_value(const std::optional<std::string_view>& stored,
                                       std::string_view default_scheme);
// The ceiling and work of the values `params` would make, found without
// making one (which, at a cost far above the ceiling, would take hours).
stored_value_info inspect_make_params(const make_params& params);

// Weak schemes are not made; nor are BLF-CRYPT values of passwords longer
// than the 72 bytes bcrypt reads, nor crypt values of passwords holding a
// zero byte.
make_result make_stored_value(std::string_view password, const make_params& params);

// True when a well-formed stored value is in another scheme than `target`
// or at a lower cost (for yescrypt: other parameters), and `target` is not
// weaker than the value's scheme. From weakest to strongest: plain text;
// the weak schemes and unsalted digests; salted digests (SSHA*); iterated
// hashes (SHA256-CRYPT, SHA512-CRYPT, PBKDF2); bcrypt; the memory-hard
// (yescrypt, GOST-yescrypt, scrypt, ARGON2I, ARGON2ID).
bool needs_rehash(const std::optional<std::string_view>& stored, std::string_view default_scheme,
                  const make_params& target);

// How many bytes of a password a stored value's scheme reads (DES crypt
// 8, bcrypt 72), SIZE_MAX when all: a value made again from a longer
// password would hold bytes that were never checked.
std::size_t password_bytes_read(const std::optional<std::string_view>& stored,
                                std::string_view default_scheme);

// Why values of `scheme` are no target for a rewrite (plain text, an
// unsalted digest, a weak scheme), or null.
const char* rehash_target_refusal(std::string_view scheme);

const char* verify_outcome_name(verify_outcome outcome);
