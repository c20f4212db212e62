// Stored password values under hostile text, verified against one fixed
// password. The first byte picks the default scheme, the rest is the value.
// Whatever the value: no fault; a value that matches the password matches no
// other password (no value lets every password in); a {PLAIN} value matches
// exactly when it is the password; what verification reports as well formed
// agrees with what inspection says; and the texts for the log never carry
// the password.
#include <cstring>

#include "fuzz_support.h"
#include "schemes/schemes.h"

namespace {

const std::string password = "Fz9 \xc3\xa9";  // under 8 bytes: DES crypt reads all of it
const char* const default_schemes[] = {"PLAIN",    "CRYPT",  "SHA256",     "SSHA512",
                                       "ARGON2ID", "PBKDF2", "SHA512.HEX", "NOPE"};

// Values whose cost would make one input run for seconds are read, not verified.
bool cheap_enough(const stored_value_info& info) {
    if (!info.well_formed) return true;  // refused before any hashing
    if (!info.cost_known) return false;
    if (info.memory_kib > 0) return info.memory_kib <= 1024 && info.cost <= 4;  // Argon2
    if (std::strcmp(info.scheme, "BLF-CRYPT") == 0 || std::strcmp(info.scheme, "BLF-CRYPT-2X") == 0)
        return info.cost <= 8;
    return info.cost <= 20000;
}

bool plain_prefix(const std::string& value, std::string& rest) {
    for (const char* name : {"{PLAIN}", "{CLEAR}", "{CLEARTEXT}"}) {
        std::size_t n = std::strlen(name);
        if (value.size() < n) continue;
        bool same = true;
        for (std::size_t i = 0; i < n; ++i) same = same && fuzz_upper(value[i]) == name[i];
        if (same) {
            rest = value.substr(n);
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static bool ready = schemes_init();
    if (!ready || size == 0) return 0;
    std::string default_scheme = default_schemes[data[0] % 8];
    std::string value(reinterpret_cast<const char*>(data) + 1, size - 1);

    stored_value_info info = inspect_stored_value(value, default_scheme);
    (void)needs_rehash(value, default_scheme, make_params{});
    if (!cheap_enough(info)) return 0;

    verify_options weak_allowed;
    weak_allowed.allow_weak = true;
    verify_result got = verify_password(password, value, default_scheme, weak_allowed);
    std::string shown = default_scheme + " | " + value;
    FUZZ_CHECK(std::string(got.scheme).find(password) == std::string::npos, shown);
    FUZZ_CHECK(std::string(got.detail).find(password) == std::string::npos, shown);
    FUZZ_CHECK(got.matched() == (*got.detail == '\0'), shown);
    if (!info.well_formed) FUZZ_CHECK(got.outcome == info.problem, shown);
    if (got.matched()) {
        FUZZ_CHECK(info.well_formed, shown);
        std::string flipped = password;
        flipped[0] = static_cast<char>(flipped[0] ^ 1);
        for (const std::string& other : {flipped, password + "x", std::string()})
            FUZZ_CHECK(!verify_password(other, value, default_scheme, weak_allowed).matched(),
                       shown);
        FUZZ_CHECK(!info.weak || verify_password(password, value, default_scheme).outcome ==
                                     verify_outcome::weak_refused,
                   shown);
    }
    std::string rest;
    if (plain_prefix(value, rest)) FUZZ_CHECK(got.matched() == (rest == password), shown);
    return 0;
}
