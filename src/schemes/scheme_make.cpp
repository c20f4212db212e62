// New stored values: made from a password for quillmar-pw and a rehash, or
// from a random one for the users the table does not hold, and the cost of
// what would be made, told without making it.
#include <crypt.h>
#include <sodium.h>

#include <climits>
#include <cstring>

#include "schemes/scheme_table.h"
#include "schemes/schemes.h"

using namespace schemes_detail;

namespace schemes_detail {

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

std::optional<std::string> crypt_setting(const scheme_entry& entry, unsigned long cost) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (!crypt_gensalt_rn(entry.crypt_prefix, cost, nullptr, 0, setting, sizeof setting))
        return std::nullopt;
    return std::string(setting);
}

namespace {

make_result make_failure(const char* error) {
    make_result out;
    out.error = error;
    return out;
}

}  // namespace

}  // namespace schemes_detail

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
