#include "directory/passwords.h"

#include <set>
#include <string_view>

#include "config/ascii_text.h"
#include "config/log.h"
#include "dbwrap/db_update.h"
#include "directory/directory.h"
#include "schemes/schemes.h"

namespace {

struct password_settings {
    std::optional<std::string> default_pass_scheme;
    std::optional<std::string> allow_weak_schemes;
    std::optional<std::string> pass_rehash_scheme;
    std::optional<std::string> pass_rehash_cost;
    std::optional<std::string> pass_rehash_memory;
};

password_settings settings;

struct password_key {
    const char* name;
    std::optional<std::string> password_settings::*field;
};

const password_key password_keys[] = {
    {"default_pass_scheme", &password_settings::default_pass_scheme},
    {"allow_weak_schemes", &password_settings::allow_weak_schemes},
    {"pass_rehash_scheme", &password_settings::pass_rehash_scheme},
    {"pass_rehash_cost", &password_settings::pass_rehash_cost},
    {"pass_rehash_memory", &password_settings::pass_rehash_memory},
};

// What the keys came to at start.
struct {
    bool scheme_usable = false;  // a known default scheme and a ready library
    verify_options options;
    std::optional<make_params> rehash_target;
    // The scheme and cost of the table's values, as last read from a row:
    // the unknown user's dummy is made so.
    std::optional<make_params> table_cost;
    // Users whose rewrite failed: not tried again in this process.
    std::set<std::string> rehash_given_up;
} state;

const std::string& default_scheme() { return *settings.default_pass_scheme; }

// A CHAR column gives its value back padded with blanks, which are not part
// of any stored value.
std::string_view without_padding(const std::string& stored) {
    std::size_t end = stored.find_last_not_of(' ');
    return std::string_view(stored).substr(0, end == std::string::npos ? 0 : end + 1);
}

bool read_count(const std::optional<std::string>& text, unsigned long& value) {
    if (!text) return true;
    if (text->empty() || text->size() > 10) return false;
    value = 0;
    for (char c : *text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    return true;
}

bool plain_scheme(std::string_view name) {
    std::size_t dot = name.find('.');
    name = name.substr(0, dot);
    for (const char* plain : {"PLAIN", "CLEAR", "CLEARTEXT"})
        if (ascii_equal_ignoring_case(name, plain)) return true;
    return false;
}

// The rehash target, or why there is none. A value is made from a throw-away
// password at start, so that a cost the library refuses is reported now and
// not at the first user's login.
std::optional<make_params> rehash_target() {
    const std::string& name = *settings.pass_rehash_scheme;
    if (!settings.default_pass_scheme) {
        error_log(
            "pass_rehash_scheme (%s) needs default_pass_scheme: stored passwords are not "
            "rewritten",
            name.c_str());
        return std::nullopt;
    }
    if (!state.scheme_usable) return std::nullopt;
    if (!scheme_known(name)) {
        error_log(
            "Unknown password scheme (%s) in pass_rehash_scheme: stored passwords are not "
            "rewritten",
            name.c_str());
        return std::nullopt;
    }
    if (plain_scheme(name)) {
        error_log(
            "pass_rehash_scheme (%s) would store passwords in plain text: stored passwords "
            "are not rewritten",
            name.c_str());
        return std::nullopt;
    }
    make_params params;
    params.scheme = name;
    if (!read_count(settings.pass_rehash_cost, params.cost) ||
        !read_count(settings.pass_rehash_memory, params.memory_kib)) {
        error_log(
            "pass_rehash_cost and pass_rehash_memory take a whole number: stored passwords "
            "are not rewritten");
        return std::nullopt;
    }
    make_result probe = make_stored_value("probe of the rehash target", params);
    if (!probe.value) {
        error_log("pass_rehash_scheme (%s) cannot be made: %s; stored passwords are not rewritten",
                  name.c_str(), probe.error);
        return std::nullopt;
    }
    return params;
}

// The scheme and cost of the stored value just verified, kept when values
// can be made so, for the dummy of the next unknown user: it then costs what
// the table's users cost, whatever the default scheme (during a move to
// another scheme too). `scheme` is the one that verified the value.
void note_table_cost(std::string_view stored, const char* scheme) {
    if (!scheme_known(scheme)) return;
    stored_value_info info = inspect_stored_value(stored, default_scheme());
    if (!info.well_formed || !info.cost_known || info.cost == 0) return;
    make_params cost;
    cost.scheme = scheme;
    cost.cost = info.cost;
    cost.memory_kib = info.memory_kib;
    state.table_cost = cost;
}

}  // namespace

bool password_load(const char* key, const char* value) {
    for (const password_key& k : password_keys) {
        if (ascii_equal_ignoring_case(key, k.name)) {
            settings.*k.field = std::string(value);
            return true;
        }
    }
    return false;
}

void password_start() {
    state.options.allow_weak = settings.allow_weak_schemes &&
                               ascii_equal_ignoring_case(*settings.allow_weak_schemes, "true");
    state.scheme_usable = false;
    if (settings.default_pass_scheme) {
        if (!scheme_known(default_scheme())) {
            error_log("Unknown password scheme (%s) in default_pass_scheme: every check fails",
                      default_scheme().c_str());
        } else if (!schemes_init()) {
            error_log("The password hash library did not start: every check fails");
        } else {
            state.scheme_usable = true;
        }
    }
    if (settings.pass_rehash_scheme) state.rehash_target = rehash_target();
}

void password_cleanup() {
    settings = password_settings{};
    state.scheme_usable = false;
    state.options = verify_options{};
    state.rehash_target.reset();
    state.table_cost.reset();
    state.rehash_given_up.clear();
}

bool passwords_hashed() { return settings.default_pass_scheme.has_value(); }

bool password_matches(const std::string& user, const std::string& given,
                      const std::optional<std::string>& stored) {
    if (!state.scheme_usable) {
        error_log("Check of user (%s) refused: default_pass_scheme (%s) is not usable",
                  user.c_str(), default_scheme().c_str());
        return false;
    }
    // The row store cannot tell a NULL column from an empty one: neither is
    // a password.
    const std::string& text = stored ? *stored : std::string();
    std::string_view value = without_padding(text);
    if (value.empty()) {
        error_log("No stored password (NULL or empty) for user (%s)", user.c_str());
        password_unknown_user(given);
        return false;
    }
    verify_result verdict = verify_password(given, value, default_scheme(), state.options);
    switch (verdict.outcome) {
    case verify_outcome::match:
        note_table_cost(value, verdict.scheme);
        debug_log("...Password matches the stored %s value", verdict.scheme);
        return true;
    case verify_outcome::mismatch:
        note_table_cost(value, verdict.scheme);
        debug_log("...Password does not match the stored %s value", verdict.scheme);
        return false;
    case verify_outcome::weak_refused:
        error_log(
            "Weak password scheme (%s) refused for user (%s); allow_weak_schemes true "
            "accepts it",
            verdict.scheme, user.c_str());
        break;
    case verify_outcome::unknown_scheme:
        error_log("Unknown password scheme in the stored value of user (%s)", user.c_str());
        break;
    case verify_outcome::malformed:
        error_log("Stored password of user (%s) is not a valid %s value: %s", user.c_str(),
                  *verdict.scheme ? verdict.scheme : "stored", verdict.detail);
        break;
    }
    // A value that cannot be verified costs what a wrong password costs, so
    // that the answer's time does not single out the user.
    password_unknown_user(given);
    return false;
}

void password_unknown_user(const std::string& given) {
    if (!state.scheme_usable) return;
    const std::string& scheme = state.table_cost ? state.table_cost->scheme : default_scheme();
    verify_unknown_user(given, scheme, state.options,
                        state.table_cost ? &*state.table_cost : nullptr);
    debug_log(
        "...No stored value verified: the password was checked against a dummy %s value "
        "at %s",
        scheme.c_str(), state.table_cost ? "the table's cost" : "the default cost");
}

bool password_rehash_on() { return state.rehash_target.has_value(); }

void password_rehash(const std::string& user, const std::string& given, const std::string& stored,
                     std::size_t room) {
    if (!state.rehash_target || state.rehash_given_up.count(user)) return;
    const make_params& target = *state.rehash_target;
    if (!needs_rehash(without_padding(stored), default_scheme(), target)) return;
    make_result made = make_stored_value(given, target);
    if (!made.value) {
        error_log("Stored password of user (%s) not rewritten in %s: %s", user.c_str(),
                  target.scheme.c_str(), made.error);
        state.rehash_given_up.insert(user);
        return;
    }
    // A value cut by a narrow column would lock the user out.
    if (made.value->size() > room) {
        error_log(
            "Stored password of user (%s) not rewritten in %s: the password column takes "
            "%zu characters, the value has %zu",
            user.c_str(), target.scheme.c_str(), room, made.value->size());
        state.rehash_given_up.insert(user);
        return;
    }
    value_change change;
    change.table = odbc_settings.odbc_mail_user_table.value_or("");
    change.key_column = odbc_settings.field_username.value_or("");
    change.key = user;
    change.column = odbc_settings.field_password.value_or("");
    // The old value as it was read, byte for byte, is the condition: a
    // password changed since the row was read is left alone.
    change.expected = stored;
    change.value = *made.value;
    debug_log("...Rewriting the stored password in %s (table %s, column %s)", target.scheme.c_str(),
              change.table.c_str(), change.column.c_str());
    switch (db_replace_value(change)) {
    case update_outcome::written:
        debug_log("...Stored password rewritten");
        break;
    case update_outcome::no_row:
        debug_log("...Stored password changed meanwhile: left as it is");
        break;
    case update_outcome::failed:
        error_log(
            "Stored password of user (%s) not rewritten in %s; not tried again for this "
            "user",
            user.c_str(), target.scheme.c_str());
        state.rehash_given_up.insert(user);
        break;
    }
}
