// Password schemes: a given password checked against a stored value written
// the way Dovecot writes them ("{SCHEME}value", or a bare value in a default
// scheme), new stored values made, and old ones judged for making again.
// Stands on libsodium, libxcrypt and OpenSSL's libcrypto alone.
#pragma once

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
};

// The texts are fixed texts of this module, never parts of a password or of a
// stored value, so that any of them may go to a log line as it is.
struct verify_result {
    verify_outcome outcome = verify_outcome::malformed;
    const char* scheme = "";  // the scheme that judged, e.g. "MD5-CRYPT" for a "$1$" crypt value
    const char* detail = "";  // what was wrong, for the log line of a failure
    bool matched() const { return outcome == verify_outcome::match; }
};

struct verify_options {
    bool allow_weak = false;
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

// For a user the table does not hold: verifies against a fixed value of
// `scheme` (made at `like`'s cost, once, when given) so that the answer costs
// what a known user's wrong password costs, and never matches.
verify_result verify_unknown_user(std::string_view password, std::string_view scheme,
                                  const verify_options& options = {},
                                  const make_params* like = nullptr);

stored_value_info inspect_stored_value(const std::optional<std::string_view>& stored,
                                       std::string_view default_scheme);

// Weak schemes are not made; nor are BLF-CRYPT values of passwords longer
// than the 72 bytes bcrypt reads, nor crypt values of passwords holding a
// zero byte.
make_result make_stored_value(std::string_view password, const make_params& params);

// True when a well-formed stored value is in another scheme than `target`
// or at a lower cost (for yescrypt: other parameters).
bool needs_rehash(const std::optional<std::string_view>& stored, std::string_view default_scheme,
                  const make_params& target);

const char* verify_outcome_name(verify_outcome outcome);
