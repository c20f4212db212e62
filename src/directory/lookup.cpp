// check and lookup: the statements, the default domain, the address test
// and the result record.
#include <time.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "config/ascii_text.h"
#include "config/ini.h"
#include "config/log.h"
#include "config/number_text.h"
#include "config/secret_text.h"
#include "dbwrap/command_deadline.h"
#include "dbwrap/db_query.h"
#include "dbwrap/db_update.h"
#include "directory/allowed_networks.h"
#include "directory/cached_answers.h"
#include "directory/check_report.h"
#include "directory/directory.h"
#include "directory/passwords.h"
#include "stats/counters.h"
#include "stats/stats_files.h"

namespace {

// The one record handed to the front end; it empties it after printing.
auth_result result_record;
// The row's allowed networks, for the address test of a check: the
// directory's own, beside the record, since no answer shows them.
std::optional<std::string> result_allow_nets;

// Whether the last command's query found the database unable to answer,
// whether it was not reached or its statement failed.
bool database_failed = false;

const char* text_or_empty(const std::optional<std::string>& text) {
    return text ? text->c_str() : "";
}

void attach_default_domain(command_words& words) {
    if (!domain || !words[1] || words[1]->find('@') != std::string::npos) return;
    words[1] = with_default_domain(*words[1]);
    debug_log("...Attached default domain {%s}", words[1]->c_str());
}

// Between two commands: the counters written once their interval has
// passed, and what quillmar -flush named dropped from the cache. Both need
// milliseconds at best, which the coarse clock gives at a fraction of the
// precise one's cost.
void command_begins() {
    timespec coarse{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &coarse);
    const std::chrono::steady_clock::time_point now(std::chrono::seconds(coarse.tv_sec) +
                                                    std::chrono::nanoseconds(coarse.tv_nsec));
    stats_tick(now);
    cache_follow_flushes(now);
}

void count_outcome(lookup_outcome outcome) { count_lookup(outcome); }

// What a lookup answered from the cache comes to; the last argument picks the kind.
lookup_outcome cached_outcome(const auth_result* result, const cache_answer&, lookup_outcome) {
    return result ? lookup_outcome::found : lookup_outcome::not_found;
}

// Counts a lookup by its outcome however it ends; one that ends in an
// exception stays `failed`.
template <typename Outcome>
struct counted_outcome {
    Outcome outcome = Outcome::failed;
    counted_outcome() = default;
    counted_outcome(const counted_outcome&) = delete;
    counted_outcome& operator=(const counted_outcome&) = delete;
    ~counted_outcome() { count_outcome(outcome); }
    // An answer from the cache; an `ask` changes nothing.
    auth_result* from_cache(auth_result* result, const cache_answer& answer) {
        if (answer.verdict != cache_verdict::ask) outcome = cached_outcome(result, answer, outcome);
        return result;
    }
};

bool present(const std::optional<std::string>& value) { return value && !value->empty(); }

// The stored row, its count and the record; an error met while moving over
// the result is a failed command, not the end of the process.
bool fetch_single_row(bool log_located) {
    if (log_located) debug_log("...User Located");
    const row_value_table* values = db_store_row();
    if (!values || db_count_rows() != 1) return false;
    return build_auth_result(*values) != nullptr;
}

// A stored value that would change the fields of the "+OK" line refuses the
// record, as one holding a line break does: a blank in the mail drop shifts
// the uid into its place, and a double quote in the forward or the quota
// closes the option and lets the rest add options of its own (a user who
// may set a forward address would set their own quota).
auth_result* refuse_stored(const char* field, const char* holds,
                           const std::optional<std::string>& column) {
    error_log("Stored %s holds %s (column %s): answered as a failure", field, holds,
              column->c_str());
    empty_auth_result(result_record);
    return nullptr;
}

bool holds_quote(const std::string& value) { return value.find('"') != std::string::npos; }

}  // namespace

// The database decides which row belongs to the user name, but some compare
// passwords too loosely (MariaDB's default collation ignores case and
// trailing blanks), so the row's own password must equal the given one byte
// for byte. A CHAR column comes back padded with blanks, which do not count.
bool same_stored_password(const std::optional<std::string>& stored, const std::string& given) {
    if (!stored) return false;
    std::size_t end = stored->find_last_not_of(' ');
    std::size_t length = end == std::string::npos ? 0 : end + 1;
    return same_secret(std::string_view(*stored).substr(0, length), given);
}

// A uid is a number from 0 to 4294967295. A setting outside that is no
// uid at all (0) rather than a clamped or negative one; the log says so
// once, not at every command.
void set_mail_uid() {
    static std::optional<std::string> reported;
    const std::optional<std::string>& setting = odbc_settings.odbc_mail_uid;
    // Read as C's atol reads it, as ever: "500 (mail)" is 500.
    std::optional<long long> read =
        setting ? read_number(*setting, number_form::leading, 0, 4294967295LL) : 0;
    long uid = read ? static_cast<long>(*read) : 0;
    if (!read) {
        if (reported != setting)
            error_log("odbc_mail_uid (%s) is not a number from 0 to 4294967295: mail uid 0 used",
                      setting->c_str());
        reported = setting;
        uid = 0;
    }
    mail_uid = uid;
}

std::uint32_t ip_mask_value(const std::string& text) {
    std::uint32_t value = 0;
    std::size_t start = 0;
    for (;;) {
        std::size_t dot = text.find('.', start);
        std::string field =
            text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        // The field's leading number, digits accumulated with 32-bit wrap-around.
        std::size_t i = 0;
        while (i < field.size() && (field[i] == ' ' || (field[i] >= '\t' && field[i] <= '\r'))) ++i;
        bool negative = false;
        if (i < field.size() && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
        std::uint32_t n = 0;
        while (i < field.size() && field[i] >= '0' && field[i] <= '9')
            n = n * 10u + static_cast<std::uint32_t>(field[i++] - '0');
        if (negative) n = 0u - n;
        value = value * 256u + n;
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return value;
}

bool ip_mask_passes(std::uint32_t address, std::uint32_t mask) { return (address & mask) == mask; }

std::string directory_select_list(const odbc_settings_record& settings) {
    std::string list = text_or_empty(settings.field_username);
    list += ",";
    list += text_or_empty(settings.field_password);
    for (const std::optional<std::string>* column :
         {&settings.field_forward, &settings.field_quota, &settings.field_mailmask,
          &settings.field_maildrop, &settings.field_mail_host, &settings.field_allow_nets}) {
        if (*column) {
            list += ',';
            list += **column;
        }
    }
    return list;
}

namespace {

// The settings a statement is made of.
std::array<const std::optional<std::string>*, 9> statement_settings() {
    return {&odbc_settings.field_username,      &odbc_settings.field_password,
            &odbc_settings.field_forward,       &odbc_settings.field_quota,
            &odbc_settings.field_mailmask,      &odbc_settings.field_maildrop,
            &odbc_settings.field_mail_host,     &odbc_settings.field_allow_nets,
            &odbc_settings.odbc_mail_user_table};
}

// The statement of check or lookup and the values for its markers, kept
// from one command to the next: the statement is made again only when one
// of its settings changed, and the value strings keep their room. Measured
// (scripts/bench.sh, SQLite, pinned, 2 x 8 alternating runs): made afresh at
// every command, the fast path's median check is 0.3 us (about 2.5%)
// slower.
struct made_statement {
    bool made = false;
    std::array<std::optional<std::string>, 9> settings;
    std::string text;
    std::vector<std::string> values;
};

std::string make_statement(bool with_password) {
    const std::string list = directory_select_list(odbc_settings);
    const char* table = text_or_empty(odbc_settings.odbc_mail_user_table);
    const char* user = text_or_empty(odbc_settings.field_username);
    const char* password = text_or_empty(odbc_settings.field_password);
    std::string statement;
    statement.reserve(list.size() + std::strlen(table) + std::strlen(user) + std::strlen(password) +
                      40);
    statement += "SELECT ";
    statement += list;
    statement += " FROM ";
    statement += table;
    statement += " WHERE ";
    statement += user;
    statement += "=?";
    if (with_password) {
        statement += " AND ";
        statement += password;
        statement += "=?";
    }
    return statement;
}

// The statement of check (with the password marker) or lookup, with words
// 1 and 2 of the command (or word 1 alone) as its values.
const made_statement& directory_statement(bool with_password, const command_words& words) {
    static made_statement made[2];
    made_statement& m = made[with_password ? 1 : 0];
    const auto now = statement_settings();
    bool same = m.made;
    for (std::size_t i = 0; same && i < now.size(); ++i) same = *now[i] == m.settings[i];
    if (!same) {
        for (std::size_t i = 0; i < now.size(); ++i) m.settings[i] = *now[i];
        m.text = make_statement(with_password);
        m.made = true;
    }
    m.values.resize(with_password ? 2 : 1);
    for (std::size_t i = 0; i < m.values.size(); ++i) m.values[i].assign(words[i + 1].value_or(""));
    return m;
}

// How the database met a command's query. Only its answers are remembered:
// a statement that failed (a column renamed, a server's passing trouble)
// must not leave a refusal that outlasts it. `value_failed`: the database
// could not take the given name or password, or carry the row's value.
enum class asked { unavailable, failed, value_failed, no_row, not_one_row, found };

// Ends the row and the query however the command ends, an exception thrown
// by `found` (a scheme, the cache) included, so that no statement, row or
// deadline outlives the command that the front end then answers "-ERR".
struct query_end {
    query_end() = default;
    query_end(const query_end&) = delete;
    query_end& operator=(const query_end&) = delete;
    ~query_end() {
        db_clear_row();
        db_end_query();
    }
};

// Sends the statement of check (with the password) or lookup with the
// command's values and reads the one row it must find; `found` then judges
// the record. Whatever happens, the row and the query are ended here.
template <typename Found>
auth_result* query_user(command_words& words, bool with_password, bool log_located, Found found,
                        asked& how) {
    const made_statement& statement = directory_statement(with_password, words);
    debug_log("...Sending Query {%s}", statement.text.c_str());

    auth_result* result = nullptr;
    {
        query_end end;
        if (db_query(statement.text, statement.values) != 0) {
            debug_log("...Query Failed");
            how = db_unavailable()    ? asked::unavailable
                  : db_found_no_row() ? asked::no_row
                  : db_value_failed() ? asked::value_failed
                                      : asked::failed;
        } else {
            how = asked::not_one_row;
            if (fetch_single_row(log_located)) {
                how = asked::found;
                result = found();
            } else {
                debug_log("...Failed to Locate User");
            }
        }
    }
    set_mail_uid();
    // A failed statement (a table renamed, a file that is no database) is
    // told to the protocols as one the database could not answer: a mail
    // system that took it for a refusal would reject real users' mail and
    // passwords until it is mended. Only a lost connection lets kept
    // answers stand in, as ever.
    database_failed = how == asked::unavailable || how == asked::failed;
    return result;
}

// How the client's address met the record's allowed networks and mask.
enum class address_test { passes, outside, unreadable };

// The allowed networks, then the mask (both must pass), on every check,
// whether the record came from the database or from the cache. A list that
// cannot be read refuses whatever the mask says, so that the administrator
// hears of it from any client. A failure empties the record.
address_test test_address(const command_words& words) {
    if (!words[3]) return address_test::passes;
    address_test test = address_test::passes;
    if (result_allow_nets) {
        debug_log("...Checking allowed networks");
        const networks_answer nets =
            match_allowed_networks(*result_allow_nets, read_client_address(*words[3]));
        if (nets.verdict == networks_verdict::unreadable) {
            error_log(
                "Stored allowed networks of user %s: entry %zu is no network (column %s): "
                "check refused",
                log_safe_name(result_record.user.value_or("")).c_str(), nets.entry,
                odbc_settings.field_allow_nets.value_or("").c_str());
            test = address_test::unreadable;
        } else if (nets.verdict == networks_verdict::outside) {
            debug_log("...Allowed networks Failed");
            test = address_test::outside;
        }
    }
    if (test == address_test::passes && result_record.mailmask) {
        debug_log("...Checking IPMask");
        std::uint32_t m = ip_mask_value(*result_record.mailmask);
        std::uint32_t a = ip_mask_value(*words[3]);
        if (!ip_mask_passes(a, m)) {
            debug_log("...IPMask Failed");
            test = address_test::outside;
        }
    }
    if (test != address_test::passes) {
        empty_auth_result(result_record);
        result_allow_nets.reset();
    }
    return test;
}

// A cached answer, byte for byte the database's: the kept record (the mail
// uid is a setting) and, for a check, the address test made afresh.
// `expired` says why an expired entry answers: the database failed this
// command, or rests after failing an earlier one.
enum class expired { no, database_fails, database_rests };
auth_result* answer_from_cache(const cache_answer& answer, const command_words& words, bool check,
                               expired why, address_test* tested = nullptr) {
    if (answer.verdict == cache_verdict::ask) return nullptr;
    count_cache_answer(answer.verdict == cache_verdict::refuse ? cache_source::negative
                       : why == expired::no                    ? cache_source::fresh
                                                               : cache_source::stale);
    if (answer.verdict == cache_verdict::refuse)
        debug_log("...Refused from the cache");
    else if (why == expired::database_fails)
        debug_log("...Answered from the cache, expired entry (the database fails)");
    else if (why == expired::database_rests)
        debug_log("...Answered from the cache, expired entry (the database rests after failing)");
    else
        debug_log("...Answered from the cache");
    set_mail_uid();
    if (answer.verdict == cache_verdict::refuse) return nullptr;
    fill_from_cache(result_record, result_allow_nets, answer.record);
    if (check) {
        const address_test test = test_address(words);
        if (tested) *tested = test;
        if (test != address_test::passes) return nullptr;
    }
    return &result_record;
}

lookup_outcome database_lookup_outcome(asked how, bool answered) {
    if (answered) return lookup_outcome::found;
    if (how == asked::no_row) return lookup_outcome::not_found;
    if (how == asked::not_one_row) return lookup_outcome::refused_value;
    return lookup_outcome::failed;
}

}  // namespace

int directory_unavailable() { return database_failed ? 1 : 0; }

int directory_idle() {
    const stats_clock::time_point now = stats_clock::now(), due = stats_idle(now);
    if (due == stats_clock::time_point::max()) return -1;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
    return static_cast<int>(std::clamp<decltype(wait)>(wait, 0, INT_MAX));
}

std::vector<std::string> directory_statement_texts() {
    return {make_statement(true), make_statement(false)};
}

auth_result* build_auth_result(const row_value_table& values) {
    auth_result& result = result_record;
    empty_auth_result(result);
    result_allow_nets.reset();
    result.user = values[0];
    result.password = values[1];
    std::size_t next = 2;

    set_mail_uid();

    std::string options;
    if (odbc_settings.field_forward) {
        const std::optional<std::string>& forward = values[next++];
        if (present(forward) && !ascii_equal_ignoring_case(*forward, "null")) {
            if (holds_quote(*forward))
                return refuse_stored("forward", "a double quote", odbc_settings.field_forward);
            options = "fwd=\"" + *forward + "\"";
        }
    }
    if (odbc_settings.field_quota) {
        const std::optional<std::string>& quota = values[next++];
        if (present(quota)) {
            if (holds_quote(*quota))
                return refuse_stored("quota", "a double quote", odbc_settings.field_quota);
            options += (options.empty() ? "quota=\"" : " quota=\"") + *quota + "\"";
        }
    }
    if (odbc_settings.field_mailmask) {
        const std::optional<std::string>& mask = values[next++];
        if (present(mask)) result.mailmask = mask;
    }
    if (odbc_settings.field_maildrop) {
        std::optional<std::string> drop = values[next++];
        // A CHAR column comes back padded with blanks, which are no part of the path.
        if (drop) drop->erase(drop->find_last_not_of(' ') + 1);
        if (present(drop)) {
            if (drop->find_first_of(" \t") != std::string::npos)
                return refuse_stored("maildrop", "a blank", odbc_settings.field_maildrop);
            result.maildrop = std::move(drop);
        }
    }
    // Read last, after the mail drop, as the select list orders it; a proxy
    // reads it back from the options (record_option "host").
    if (odbc_settings.field_mail_host) {
        std::optional<std::string> host = values[next++];
        if (host) host->erase(host->find_last_not_of(' ') + 1);
        if (present(host)) {
            if (holds_quote(*host) || host->find_first_of(" \t") != std::string::npos)
                return refuse_stored("mail host", "a blank or a double quote",
                                     odbc_settings.field_mail_host);
            options += (options.empty() ? "host=\"" : " host=\"") + *host + "\"";
        }
    }
    if (odbc_settings.field_allow_nets) {
        const std::optional<std::string>& nets = values[next++];
        if (present(nets)) result_allow_nets = nets;
    }
    if (!options.empty()) result.options = options;
    return &result;
}

namespace {

// A check refused by its address test: outside the user's networks or mask,
// or a stored list that cannot be read.
check_outcome address_outcome(address_test test) {
    return test == address_test::unreadable ? check_outcome::refused_value : check_outcome::mask;
}

// What a check answered from the cache comes to: the record's address test
// or the kept refusal; nothing usable kept means the database failed.
check_outcome cached_outcome(const cache_answer& answer, const auth_result* result, bool hashed,
                             address_test tested) {
    if (answer.verdict == cache_verdict::accept)
        return result ? check_outcome::accepted : address_outcome(tested);
    if (answer.verdict == cache_verdict::ask) return check_outcome::database_error;
    if (answer.user_unknown) return check_outcome::unknown_user;
    return hashed ? check_outcome::wrong_password : check_outcome::wrong_user_or_password;
}

// The check itself, once the address is known not to be throttled.
auth_result* check_user(command_words& words, check_outcome& outcome) {
    const char* user = text_or_empty(words[1]);
    const bool hashed = passwords_hashed();
    answer_cache* cache = directory_cache();
    const cache_clock::time_point now = cache ? cache_clock::now() : cache_clock::time_point();
    password_fingerprint fingerprint;
    if (cache) {
        cache_answer kept = cache->check(user, words[2].value_or(""), now, fingerprint);
        if (kept.verdict != cache_verdict::ask) {
            address_test tested = address_test::passes;
            auth_result* result = answer_from_cache(kept, words, true, expired::no, &tested);
            outcome = cached_outcome(kept, result, hashed, tested);
            return result;
        }
        if (cache->database_resting(now)) {
            cache_answer stale = cache->check_stale(user, fingerprint, now);
            if (stale.verdict != cache_verdict::ask) {
                address_test tested = address_test::passes;
                auth_result* result =
                    answer_from_cache(stale, words, true, expired::database_rests, &tested);
                outcome = cached_outcome(stale, result, hashed, tested);
                return result;
            }
        }
    }
    // Armed only now: arming may wake the watchdog's thread, a switch that
    // would cost an answer from the cache more than all the rest of it.
    db_command_deadline command;
    const std::string given = words[2].value_or("");

    // With stored hashes the row is asked for by user name alone and the
    // password verified here; otherwise the database compares it too.
    // `wrong`: the password itself was refused, not a stored value that
    // could not be verified; only that is remembered as a refusal, so that
    // a row mended by the administrator is not refused meanwhile.
    bool verified = false, wrong = false;
    address_test tested = address_test::passes;
    std::size_t room = 0;
    asked how;
    auth_result* result = query_user(
        words, !hashed, false,
        [&]() -> auth_result* {
            bool same;
            if (hashed) {
                verified = true;
                const password_verdict verdict =
                    password_matches(user, given, result_record.password);
                same = verdict == password_verdict::match;
                wrong = verdict == password_verdict::mismatch;
                if (same && password_rehash_on()) room = db_value_room(1);
            } else {
                same = same_stored_password(result_record.password, given);
                wrong = !same;
                if (!same) debug_log("...Password differs from the stored one");
            }
            if (!same) {
                empty_auth_result(result_record);
                return nullptr;
            }
            // Kept before the address test, which every later check makes again.
            if (cache)
                cache->checked(user, cache_record_of(result_record, result_allow_nets), fingerprint,
                               now);
            tested = test_address(words);
            return tested == address_test::passes ? &result_record : nullptr;
        },
        how);
    if (hashed && !verified) password_unknown_user(given);
    if (hashed && result && result->password) password_rehash(user, given, *result->password, room);
    switch (how) {
    case asked::found:
        outcome = result                           ? check_outcome::accepted
                  : tested != address_test::passes ? address_outcome(tested)
                  : wrong                          ? check_outcome::wrong_password
                                                   : check_outcome::refused_value;
        break;
    case asked::no_row:
        outcome = hashed ? check_outcome::unknown_user : check_outcome::wrong_user_or_password;
        break;
    case asked::not_one_row:
        outcome = check_outcome::refused_value;
        break;
    case asked::unavailable:
    case asked::failed:
    case asked::value_failed:
        outcome = check_outcome::database_error;
        break;
    }
    if (!cache) return result;

    if (how == asked::unavailable) {
        // The rest counts from the failure's end: a silent server's takes the deadline.
        cache->database_failed(cache_clock::now());
        const cache_answer stale = cache->check_stale(user, fingerprint, now);
        result = answer_from_cache(stale, words, true, expired::database_fails, &tested);
        outcome = cached_outcome(stale, result, hashed, tested);
        return result;
    }
    // Without stored hashes no row may just be a wrong password; with them
    // the row was asked for by name, so the user is gone.
    if (how == asked::no_row) cache->check_refused(user, fingerprint, hashed, now);
    if (how == asked::found && wrong) cache->check_refused(user, fingerprint, false, now);
    cache->database_answered();
    return result;
}

// The counters' name for a check's outcome; the two refusals a table
// without hashes cannot tell apart count as wrong passwords.
counted_check counted_as(check_outcome outcome) {
    switch (outcome) {
    case check_outcome::accepted:
        return counted_check::ok;
    case check_outcome::wrong_password:
    case check_outcome::wrong_user_or_password:
        return counted_check::wrong_password;
    case check_outcome::unknown_user:
        return counted_check::unknown_user;
    case check_outcome::mask:
        return counted_check::mask;
    case check_outcome::refused_value:
        return counted_check::refused_value;
    case check_outcome::throttled:
        return counted_check::throttled;
    case check_outcome::database_error:
        break;
    }
    return counted_check::failed;
}

// Counts a check however it ends; one that ends in an exception is `failed`.
struct counted_check_outcome {
    check_outcome outcome = check_outcome::database_error;
    counted_check_outcome() = default;
    counted_check_outcome(const counted_check_outcome&) = delete;
    counted_check_outcome& operator=(const counted_check_outcome&) = delete;
    ~counted_check_outcome() { count_check(counted_as(outcome)); }
};

}  // namespace

auth_result* directory_check(command_words& words) {
    database_failed = false;
    command_begins();
    counted_check_outcome counted;
    attach_default_domain(words);
    if (words[3])
        debug_log("...Checking: User='%s'   Pass='xxxx'  IP='%s'", text_or_empty(words[1]),
                  words[3]->c_str());
    else
        debug_log("...Checking: User='%s'   Pass='xxxx'  IP='(NULL)'", text_or_empty(words[1]));
    const std::optional<client_address> client = check_client(words);
    auth_result* result = nullptr;
    if (check_throttled(client))
        counted.outcome = check_outcome::throttled;
    else
        result = check_user(words, counted.outcome);
    report_check(counted.outcome, client, words);
    return result;
}

auth_result* directory_lookup(command_words& words) {
    database_failed = false;
    command_begins();
    counted_outcome<lookup_outcome> counted;
    attach_default_domain(words);
    const char* user = text_or_empty(words[1]);
    debug_log("...Lookup: User='%s'", user);

    answer_cache* cache = directory_cache();
    const cache_clock::time_point now = cache ? cache_clock::now() : cache_clock::time_point();
    if (cache) {
        cache_answer kept = cache->lookup(user, now);
        if (kept.verdict != cache_verdict::ask)
            return counted.from_cache(answer_from_cache(kept, words, false, expired::no), kept);
        if (cache->database_resting(now)) {
            cache_answer stale = cache->lookup_stale(user, now);
            if (stale.verdict != cache_verdict::ask)
                return counted.from_cache(
                    answer_from_cache(stale, words, false, expired::database_rests), stale);
        }
    }
    db_command_deadline command;
    asked how;
    auth_result* result = query_user(
        words, false, true,
        [&]() -> auth_result* {
            debug_log("...User Located");
            if (cache)
                cache->looked_up(user, cache_record_of(result_record, result_allow_nets), now);
            return &result_record;
        },
        how);
    counted.outcome = database_lookup_outcome(how, result != nullptr);
    if (!cache) return result;

    if (how == asked::unavailable) {
        cache->database_failed(cache_clock::now());
        const cache_answer stale = cache->lookup_stale(user, now);
        return counted.from_cache(answer_from_cache(stale, words, false, expired::database_fails),
                                  stale);
    }
    if (how == asked::no_row) cache->lookup_refused(user, now);
    cache->database_answered();
    return result;
}
