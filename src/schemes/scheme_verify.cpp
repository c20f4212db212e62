// A password checked against a stored value: refused unverified when the
// value is weak or above its ceiling, else hashed by the scheme's library
// and compared in constant time.
#include <crypt.h>
#include <sodium.h>

#include <climits>
#include <memory>

#include "schemes/scheme_table.h"
#include "schemes/schemes.h"

using namespace schemes_detail;

namespace schemes_detail {

namespace {

verify_result result(const parsed_value& value, bool matched) {
    verify_result out = value.fail;
    out.outcome = matched ? verify_outcome::match : verify_outcome::mismatch;
    out.detail = matched ? "" : "password does not match";
    return out;
}

}  // namespace

// crypt_rn's working space, zeroed once as libxcrypt asks before its first
// use and kept: at 32 KiB, allocating and zeroing it at every check cost more
// than the rest of a check of ours (scheme_check_bench). libxcrypt wipes its
// own scratch at the end of every call; the caller wipes the output, which
// holds the hash of what was typed. One thread uses it.
crypt_data& crypt_space() {
    static const std::unique_ptr<crypt_data> space = std::make_unique<crypt_data>();
    return *space;
}

namespace {

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

}  // namespace

}  // namespace schemes_detail

verify_result verify_password(std::string_view password,
                              const std::optional<std::string_view>& stored,
                              std::string_view default_scheme, const verify_options& options) {
    return verify_parsed(password, parse_stored(stored, default_scheme), options);
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
