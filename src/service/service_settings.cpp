#include "service/service_settings.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/ascii_text.h"
#include "config/log.h"
#include "config/number_text.h"
#include "config/shared_folder.h"
#include "service/listen_socket.h"

namespace {

service_settings settings;
auth_module_table* back_end = nullptr;

// A chmod mode: octal digits alone, no bits beyond the owner's, group's and
// others' (a socket needs write to be connected to). The text's form is
// read as every other number is, then its digits taken as octal ones.
std::optional<unsigned> octal_mode(const char* text) {
    std::optional<long long> written = read_number(text, number_form::digits, 0, 777);
    if (!written) return std::nullopt;
    unsigned mode = 0, place = 1;
    for (long long rest = *written; rest > 0; rest /= 10, place *= 8) {
        if (rest % 10 > 7) return std::nullopt;
        mode += static_cast<unsigned>(rest % 10) * place;
    }
    return mode;
}

struct number_key {
    const char* name;
    long long low, high;
    const char* unit;
};

// The limits, with what each allows.
const number_key number_keys[] = {
    {"workers", 1, 256, "workers"},           {"max_clients", 1, 100000, "clients"},
    {"max_line", 256, 1048576, "bytes"},      {"idle_timeout", 1, 86400, "seconds"},
    {"max_queue", 1, 1000000, "requests"},    {"max_pending", 1, 10000, "requests"},
    {"auth_failure_delay", 0, 60, "seconds"},
};

void set_number(const char* key, long long value) {
    if (ascii_equal_ignoring_case(key, "workers"))
        settings.workers = static_cast<unsigned>(value);
    else if (ascii_equal_ignoring_case(key, "max_clients"))
        settings.max_clients = static_cast<std::size_t>(value);
    else if (ascii_equal_ignoring_case(key, "max_line"))
        settings.max_line = static_cast<std::size_t>(value);
    else if (ascii_equal_ignoring_case(key, "idle_timeout"))
        settings.idle_timeout = static_cast<unsigned>(value);
    else if (ascii_equal_ignoring_case(key, "max_queue"))
        settings.max_queue = static_cast<std::size_t>(value);
    else if (ascii_equal_ignoring_case(key, "max_pending"))
        settings.max_pending = static_cast<std::size_t>(value);
    else
        settings.auth_failure_delay = static_cast<unsigned>(value);
}

bool take_map(const char* value) {
    std::string text = value;
    std::size_t blank = text.find_first_of(" \t");
    std::string name = text.substr(0, blank);
    std::string kind;
    if (blank != std::string::npos) {
        std::size_t start = text.find_first_not_of(" \t", blank);
        if (start != std::string::npos) kind = text.substr(start);
    }
    static const std::pair<const char*, map_answer> kinds[] = {
        {"maildrop", map_answer::maildrop},
        {"user", map_answer::user},
        {"forward", map_answer::forward},
    };
    // A name is one word of printable characters: Postfix sends it before
    // the key, separated by a blank.
    bool name_ok = !name.empty() && name.size() <= 100;
    for (unsigned char c : name) name_ok = name_ok && c > 0x20 && c < 0x7f;
    for (const auto& [word, answer] : kinds) {
        if (!name_ok || !ascii_equal_ignoring_case(kind, word)) continue;
        settings.maps[name] = answer;
        return true;
    }
    error_log("INI: socketmap_map '%s' ignored: it takes a name and one of maildrop, user, forward",
              value);
    return true;
}

}  // namespace

const char* map_answer_name(map_answer answer) {
    switch (answer) {
    case map_answer::maildrop:
        return "maildrop";
    case map_answer::user:
        return "user";
    case map_answer::forward:
        break;
    }
    return "forward";
}

void service_settings_begin(auth_module_table& table) {
    settings = service_settings{};
    back_end = &table;
}

int service_settings_key(const char* key, const char* value) {
    if (!key || !value) return 0;
    struct text_key {
        const char* name;
        std::optional<std::string> service_settings::*field;
    };
    static const text_key text_keys[] = {
        {"listen_auth", &service_settings::listen_auth},
        {"listen_socketmap", &service_settings::listen_socketmap},
        {"listen_http", &service_settings::listen_http},
        {"listen_saslauthd", &service_settings::listen_saslauthd},
        {"socket_user", &service_settings::socket_user},
        {"socket_group", &service_settings::socket_group},
    };
    if (http_auth_settings_key(settings.http, key, value)) return 1;
    for (const text_key& k : text_keys) {
        if (!ascii_equal_ignoring_case(key, k.name)) continue;
        settings.*k.field = std::string(value);
        return 1;
    }
    for (const number_key& k : number_keys) {
        if (!ascii_equal_ignoring_case(key, k.name)) continue;
        if (std::optional<long long> n = read_number(value, number_form::digits, k.low, k.high))
            set_number(k.name, *n);
        else
            error_log("INI: %s '%s' ignored: it takes a number of %s from %lld to %lld", k.name,
                      value, k.unit, k.low, k.high);
        return 1;
    }
    if (ascii_equal_ignoring_case(key, "socket_mode")) {
        if (std::optional<unsigned> mode = octal_mode(value))
            settings.socket_mode = *mode;
        else
            error_log("INI: socket_mode '%s' ignored: it takes an octal mode such as 0660", value);
        return 1;
    }
    if (ascii_equal_ignoring_case(key, "socketmap_map")) return take_map(value) ? 1 : 0;
    return back_end && back_end->load ? back_end->load(key, value) : 0;
}

const service_settings& current_service_settings() {
    if (settings.workers == 0) {
        long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
        settings.workers = cpus < 1 ? 1 : cpus > 256 ? 256 : static_cast<unsigned>(cpus);
    }
    return settings;
}

void service_settings_problems(const service_settings& s, std::vector<std::string>& problems) {
    // listen_http names a Unix socket by a path, a TCP address otherwise.
    static const std::optional<std::string> none;
    const bool http_socket = s.listen_http && !s.listen_http->empty() && (*s.listen_http)[0] == '/';
    struct listen_key {
        const char* name;
        const std::optional<std::string>& path;
    };
    const listen_key listens[] = {{"listen_auth", s.listen_auth},
                                  {"listen_socketmap", s.listen_socketmap},
                                  {"listen_http", http_socket ? s.listen_http : none},
                                  {"listen_saslauthd", s.listen_saslauthd}};
    const std::size_t count = sizeof listens / sizeof listens[0];
    if (!s.listen_auth && !s.listen_socketmap && !s.listen_http && !s.listen_saslauthd)
        problems.push_back(
            "none of listen_auth, listen_socketmap, listen_http, listen_saslauthd is set: the "
            "service would serve nothing");
    for (std::size_t i = 0; i < count; ++i)
        for (std::size_t j = i + 1; j < count; ++j)
            if (listens[i].path && listens[j].path && *listens[i].path == *listens[j].path)
                problems.push_back(std::string(listens[i].name) + " and " + listens[j].name +
                                   " name the same socket " + *listens[i].path);
    for (const listen_key& listen : listens) {
        const std::optional<std::string>* path = &listen.path;
        if (!*path) continue;
        const std::string& p = **path;
        if (p.empty() || p[0] != '/') {
            problems.push_back("the socket " + p + " is not an absolute path");
            continue;
        }
        // A socket's path must fit its address structure.
        if (p.size() >= 108) problems.push_back("the socket path " + p + " is too long");
        std::string folder = p.substr(0, p.rfind('/'));
        if (folder.empty()) folder = "/";
        struct stat info;
        if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
            problems.push_back("the folder " + folder + " of the socket " + p + " does not exist");
        else if (const std::string writers = other_writers(folder); !writers.empty())
            problems.push_back("the folder " + folder + " of the socket " + p +
                               " may be written by " + writers +
                               ", who could put a socket of their own in its place");
    }
    if (s.listen_http) {
        if (s.listen_http->empty() || (*s.listen_http)[0] != '/') {
            std::string error;
            if (!tcp_listen_address(*s.listen_http, error))
                problems.push_back("listen_http " + *s.listen_http + ": " + error);
        }
        std::vector<std::string> unresolved;
        resolve_proxy_hosts(s.http, unresolved);
        for (std::string& line : unresolved) problems.push_back(line);
    }
    if (s.socket_user && !::getpwnam(s.socket_user->c_str()))
        problems.push_back("socket_user " + *s.socket_user + " is no user of this system");
    if (s.socket_group && !::getgrnam(s.socket_group->c_str()))
        problems.push_back("socket_group " + *s.socket_group + " is no group of this system");
    if (!s.maps.empty() && !s.listen_socketmap)
        problems.push_back("socketmap_map is set but listen_socketmap is not");
    if (s.listen_socketmap && s.maps.empty())
        problems.push_back(
            "listen_socketmap is set but no socketmap_map names a map: every lookup would get "
            "PERM");
}

std::vector<std::string> settings_needing_restart(const service_settings& before,
                                                  const service_settings& after) {
    std::vector<std::string> changed;
    auto text = [](const std::optional<std::string>& value) { return value.value_or("(unset)"); };
    struct key {
        const char* name;
        const std::optional<std::string> service_settings::*field;
    };
    static const key keys[] = {
        {"listen_auth", &service_settings::listen_auth},
        {"listen_socketmap", &service_settings::listen_socketmap},
        {"listen_http", &service_settings::listen_http},
        {"listen_saslauthd", &service_settings::listen_saslauthd},
        {"socket_user", &service_settings::socket_user},
        {"socket_group", &service_settings::socket_group},
    };
    for (const key& k : keys)
        if (before.*k.field != after.*k.field)
            changed.push_back(std::string(k.name) + " " + text(before.*k.field) + " -> " +
                              text(after.*k.field));
    if (before.socket_mode != after.socket_mode) changed.push_back("socket_mode");
    return changed;
}
