#include "directory/passwords.h"

#include <map>
#include <set>
#include <string_view>

#include "config/ascii_text.h"
#include "config/log.h"
#include "config/number_text.h"
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
    std::optional<std::string> pass_dummy_value;
    // pass_ceiling_<name> by the ceiling's name.
    std::map<std::string, std::string> ceilings;
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
    {"pass_dummy_value", &password_settings::pass_dummy_value},
};

const char ceiling_key_prefix[] = "pass_ceiling_";

// What the keys came to at start.
struct {
    bool scheme_usable = false;  // a known default scheme and a ready library
    verify_options options;
    std::optional<make_params> rehash_target;
    // The value an unknown user's password is verified against, settled at
    // start and never changed by what the rows hold, and how it was chosen.
    std::optional<std::string> dummy;
    std::string dummy_about;
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

// A cost or an amount of memory: digits alone; absent leaves the value.
bool read_count(const std::optional<std::string>& text, unsigned long& value) {
    if (!text) return true;
    std::optional<long long> number = read_number(*text, number_form::digits, 0, 4294967295LL);
    if (number) value = static_cast<unsigned long>(*number);
    return number.has_value();
}

// The ceilings as the keys set them; a key that is no whole number above 0
// is an error line and leaves its default.
cost_ceilings read_ceilings() {
    cost_ceilings ceilings;
    for (const cost_ceiling_listing& c : cost_ceiling_list()) {
        auto found = settings.ceilings.find(c.name);
        if (found == settings.ceilings.end()) continue;
        unsigned long value = 0;
        if (read_count(found->second, value) && value > 0)
            ceilings.*c.field = value;
        else
            error_log("%s%s takes a whole number above 0 (%s): the default %lu holds",
                      ceiling_key_prefix, c.name, c.unit, ceilings.*c.field);
    }
    return ceilings;
}

// "YESCRYPT value at 16384 KiB x passes", never a part of the value itself.
std::string value_about(const stored_value_info& info) {
    std::string about = std::string(info.scheme) + " value";
    for (const cost_ceiling_listing& c : cost_ceiling_list()) {
        if (std::string_view(info.ceiling) == c.name)
            about += " at " + std::to_string(info.work) + " " + c.unit;
    }
    return about;
}

// Above its ceiling, a value of ours would be refused at every check.
const cost_ceiling_listing* ceiling_passed(const stored_value_info& info) {
    for (const cost_ceiling_listing& c : cost_ceiling_list())
        if (std::string_view(info.ceiling) == c.name && info.work > state.options.ceilings.*c.field)
            return &c;
    return nullptr;
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
    if (const char* refusal = rehash_target_refusal(name)) {
        error_log("pass_rehash_scheme (%s) %s: stored passwords are not rewritten", name.c_str(),
                  refusal);
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
    if (const cost_ceiling_listing* ceiling = ceiling_passed(inspect_make_params(params))) {
        error_log(
            "pass_rehash_scheme (%s) would write values above %s%s (%lu %s), which no check "
            "would then verify: stored passwords are not rewritten",
            name.c_str(), ceiling_key_prefix, ceiling->name, state.options.ceilings.*ceiling->field,
            ceiling->unit);
        return std::nullopt;
    }
    // The probe is the unknown user's dummy while this target holds.
    make_result probe = make_dummy_value(params);
    if (!probe.value) {
        error_log("pass_rehash_scheme (%s) cannot be made: %s; stored passwords are not rewritten",
                  name.c_str(), probe.error);
        return std::nullopt;
    }
    stored_value_info info = inspect_stored_value(*probe.value, default_scheme());
    state.dummy = *probe.value;
    state.dummy_about = value_about(info) + ", made like pass_rehash_scheme's values";
    return params;
}

// The administrator's own dummy, when it is one that can be verified.
void dummy_from_key() {
    const std::string& value = *settings.pass_dummy_value;
    stored_value_info info = inspect_stored_value(value, default_scheme());
    const char* problem = !info.well_formed                        ? info.detail
                          : info.weak && !state.options.allow_weak ? "a weak scheme"
                          : ceiling_passed(info)                   ? "a cost above its ceiling"
                                                                   : nullptr;
    if (problem) {
        error_log(
            "pass_dummy_value is not a stored value that can be verified (%s): it is not used",
            problem);
        return;
    }
    state.dummy = value;
    state.dummy_about = value_about(info) + ", from pass_dummy_value";
}

// The unknown user's dummy, settled once: pass_dummy_value, else the rehash
// target's (made in rehash_target), else the default scheme's at its
// defaults. The rows never change it, so that no stored value (a costly
// one least of all) sets what an unknown user costs, and no command waits
// for a dummy to be made.
void settle_dummy() {
    if (settings.pass_dummy_value) {
        std::optional<std::string> target_dummy = std::move(state.dummy);
        state.dummy.reset();
        dummy_from_key();
        if (state.dummy) return;
        state.dummy = std::move(target_dummy);
    }
    if (state.dummy) return;
    make_params defaults;
    defaults.scheme = default_scheme();
    make_result made = make_dummy_value(defaults);
    if (!made.value) {
        error_log(
            "No dummy value could be made in default_pass_scheme (%s): %s; unknown users are "
            "answered without a hash",
            default_scheme().c_str(), made.error);
        return;
    }
    state.dummy = *made.value;
    state.dummy_about = value_about(inspect_stored_value(*made.value, default_scheme())) +
                        ", made like default_pass_scheme's values at its defaults";
}

}  // namespace

bool password_load(const char* key, const char* value) {
    for (const password_key& k : password_keys) {
        if (ascii_equal_ignoring_case(key, k.name)) {
            settings.*k.field = std::string(value);
            return true;
        }
    }
    for (const cost_ceiling_listing& c : cost_ceiling_list()) {
        if (ascii_equal_ignoring_case(key, std::string(ceiling_key_prefix) + c.name)) {
            settings.ceilings[c.name] = value;
            return true;
        }
    }
    return false;
}

void password_start() {
    state.options.allow_weak = settings.allow_weak_schemes &&
                               ascii_equal_ignoring_case(*settings.allow_weak_schemes, "true");
    state.options.ceilings = read_ceilings();
    state.scheme_usable = false;
    state.dummy.reset();
    state.dummy_about.clear();
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
    if (state.scheme_usable) settle_dummy();
}

void password_cleanup() {
    settings = password_settings{};
    state.scheme_usable = false;
    state.options = verify_options{};
    state.rehash_target.reset();
    state.dummy.reset();
    state.dummy_about.clear();
    state.rehash_given_up.clear();
}

std::vector<std::string> password_report() {
    std::vector<std::string> lines;
    if (!state.scheme_usable) return lines;
    if (state.dummy) lines.push_back("unknown users are checked against a " + state.dummy_about);
    std::string ceilings = "cost ceilings (" + std::string(ceiling_key_prefix) + "<family>):";
    const char* between = " ";
    for (const cost_ceiling_listing& c : cost_ceiling_list()) {
        ceilings += between + std::string(c.name) + " " +
                    std::to_string(state.options.ceilings.*c.field) + " " + c.unit;
        between = ", ";
    }
    lines.push_back(ceilings);
    return lines;
}

bool passwords_hashed() { return settings.default_pass_scheme.has_value(); }

password_verdict password_matches(const std::string& user, const std::string& given,
                                  const std::optional<std::string>& stored) {
    if (!state.scheme_usable) {
        error_log("Check of user (%s) refused: default_pass_scheme (%s) is not usable",
                  user.c_str(), default_scheme().c_str());
        return password_verdict::unusable;
    }
    // The row store cannot tell a NULL column from an empty one: neither is
    // a password.
    const std::string& text = stored ? *stored : std::string();
    std::string_view value = without_padding(text);
    if (value.empty()) {
        error_log("No stored password (NULL or empty) for user (%s)", user.c_str());
        password_unknown_user(given);
        return password_verdict::unusable;
    }
    verify_result verdict = verify_password(given, value, default_scheme(), state.options);
    switch (verdict.outcome) {
    case verify_outcome::match:
        debug_log("...Password matches the stored %s value", verdict.scheme);
        return password_verdict::match;
    case verify_outcome::mismatch:
        debug_log("...Password does not match the stored %s value", verdict.scheme);
        return password_verdict::mismatch;
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
    case verify_outcome::too_costly:
        error_log("Stored password of user (%s) is a %s value above %s%s: not verified",
                  user.c_str(), verdict.scheme, ceiling_key_prefix, verdict.ceiling);
        break;
    }
    // A value that cannot be verified costs what a wrong password costs, so
    // that the answer's time does not single out the user.
    password_unknown_user(given);
    return password_verdict::unusable;
}

void password_unknown_user(const std::string& given) {
    if (!state.scheme_usable || !state.dummy) return;
    verify_unknown_user(given, *state.dummy, default_scheme(), state.options);
    debug_log("...No stored value verified: the password was checked against the dummy %s",
              state.dummy_about.c_str());
}

bool password_rehash_on() { return state.rehash_target.has_value(); }

void password_rehash(const std::string& user, const std::string& given, const std::string& stored,
                     std::size_t room) {
    if (!state.rehash_target || state.rehash_given_up.count(user)) return;
    const make_params& target = *state.rehash_target;
    if (!needs_rehash(without_padding(stored), default_scheme(), target)) return;
    // DES crypt reads 8 bytes, bcrypt 72: a longer password was checked only
    // in part, and a value made from all of it could lock out the user whose
    // password shares only that part.
    const std::size_t read = password_bytes_read(without_padding(stored), default_scheme());
    if (given.size() > read) {
        debug_log(
            "...Stored password not rewritten: its scheme reads only the first %zu bytes of the "
            "password",
            read);
        return;
    }
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
