#include "directory/check_report.h"

#include <sys/stat.h>

#include <memory>

#include "config/ascii_text.h"
#include "config/log.h"
#include "throttle/throttle.h"

namespace {

bool log_failures = false;
throttle_settings settings;
std::unique_ptr<failure_throttle> throttle;

bool name_byte_as_is(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '@' ||
           c == '.' || c == '_' || c == '+' || c == '-';
}

}  // namespace

const char* check_outcome_word(check_outcome outcome) {
    switch (outcome) {
    case check_outcome::accepted:
        return "accepted";
    case check_outcome::wrong_password:
        return "wrong-password";
    case check_outcome::unknown_user:
        return "unknown-user";
    case check_outcome::wrong_user_or_password:
        return "wrong-user-or-password";
    case check_outcome::mask:
        return "mask";
    case check_outcome::refused_value:
        return "refused-value";
    case check_outcome::throttled:
        return "throttled";
    case check_outcome::database_error:
        return "database-error";
    }
    return "unknown";
}

bool refused_for_the_try(check_outcome outcome) {
    return outcome == check_outcome::wrong_password || outcome == check_outcome::unknown_user ||
           outcome == check_outcome::wrong_user_or_password || outcome == check_outcome::mask;
}

bool check_report_key_load(const char* key, const char* value) {
    if (!key || !value) return false;
    if (ascii_equal_ignoring_case(key, "log_auth_failures")) {
        log_failures = ascii_equal_ignoring_case(value, "true");
        return true;
    }
    return throttle_load(settings, key, value) != 0;
}

void check_report_start() {
    throttle.reset();
    if (settings.enabled()) throttle = std::make_unique<failure_throttle>(settings);
}

void check_report_cleanup() {
    throttle.reset();
    settings = throttle_settings{};
    log_failures = false;
}

std::optional<std::string> check_report_problem() {
    if (!settings.enabled()) return std::nullopt;
    const std::string& path = settings.table_path;
    const std::size_t slash = path.rfind('/');
    const std::string folder =
        slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    struct stat info {};
    if (::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return std::nullopt;
    return "the throttle's folder " + folder + " does not exist (auth_failure_table " + path +
           "): checks would not be throttled";
}

std::optional<client_address> check_client(const command_words& words) {
    if (!words[3]) return std::nullopt;
    return read_client_address(*words[3]);
}

bool check_throttled(const std::optional<client_address>& client) {
    if (!throttle || !client || !throttle->refuses(*client)) return false;
    debug_log("...Throttled: refused at once");
    return true;
}

std::string log_safe_name(std::string_view name) {
    static const char hex[] = "0123456789abcdef";
    std::string safe;
    safe.reserve(name.size());
    for (char c : name) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (name_byte_as_is(byte)) {
            safe += c;
        } else {
            safe += "\\x";
            safe += hex[byte >> 4];
            safe += hex[byte & 15];
        }
    }
    return safe;
}

std::string failure_line(check_outcome outcome, const std::optional<client_address>& client,
                         std::string_view user) {
    return "Check refused: rip=" + (client ? address_text(*client) : std::string("-")) +
           " reason=" + check_outcome_word(outcome) + " user=" + log_safe_name(user);
}

void report_check(check_outcome outcome, const std::optional<client_address>& client,
                  const command_words& words) {
    if (outcome == check_outcome::accepted) return;
    const std::string_view user = words[1] ? std::string_view(*words[1]) : std::string_view();
    if (log_failures) notice_log("%s", failure_line(outcome, client, user).c_str());
    if (throttle && client && refused_for_the_try(outcome))
        throttle->failed(*client, user,
                         words[2] ? std::string_view(*words[2]) : std::string_view());
}
