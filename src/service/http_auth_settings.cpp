// The keys of nginx's auth_http front end and the resolution of the mail
// hosts they name.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "config/ascii_text.h"
#include "config/log.h"
#include "config/number_text.h"
#include "service/http_auth.h"

namespace {

struct number_key {
    const char* name;
    unsigned http_auth_settings::*field;
    long long low, high;
};

const number_key number_keys[] = {
    {"auth_http_max_attempts", &http_auth_settings::max_attempts, 1, 1000},
    {"auth_http_wait", &http_auth_settings::wait, 1, 3600},
    {"proxy_port_imap", &http_auth_settings::port_imap, 1, 65535},
    {"proxy_port_pop3", &http_auth_settings::port_pop3, 1, 65535},
    {"proxy_port_smtp", &http_auth_settings::port_smtp, 1, 65535},
};

std::vector<std::string> words_of(const char* value) {
    std::vector<std::string> words;
    std::string word;
    for (const char* c = value;; ++c) {
        if (*c == '\0' || *c == ',' || is_blank(*c)) {
            if (!word.empty()) words.push_back(word);
            word.clear();
            if (*c == '\0') break;
            continue;
        }
        word += *c;
    }
    return words;
}

// A name's address as nginx reads Auth-Server: digits and colons, never a name.
std::optional<std::string> resolve(const std::string& name, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int status = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
    if (status != 0) {
        error = ::gai_strerror(status);
        return std::nullopt;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> owned(found, ::freeaddrinfo);
    char text[NI_MAXHOST];
    if (::getnameinfo(found->ai_addr, found->ai_addrlen, text, sizeof text, nullptr, 0,
                      NI_NUMERICHOST) != 0) {
        error = "no address";
        return std::nullopt;
    }
    return std::string(text);
}

}  // namespace

bool http_auth_settings_key(http_auth_settings& settings, const char* key, const char* value) {
    if (ascii_equal_ignoring_case(key, "auth_http_key")) {
        if (*value)
            settings.key = std::string(value);
        else
            error_log("INI: auth_http_key ignored: an empty key would let every request in");
        return true;
    }
    if (ascii_equal_ignoring_case(key, "proxy_default_host")) {
        settings.default_host = std::string(value);
        return true;
    }
    if (ascii_equal_ignoring_case(key, "proxy_hosts")) {
        settings.hosts = words_of(value);
        return true;
    }
    for (const number_key& k : number_keys) {
        if (!ascii_equal_ignoring_case(key, k.name)) continue;
        if (std::optional<long long> n = read_number(value, number_form::digits, k.low, k.high))
            settings.*k.field = static_cast<unsigned>(*n);
        else
            error_log("INI: %s '%s' ignored: it takes a number from %lld to %lld", k.name, value,
                      k.low, k.high);
        return true;
    }
    return false;
}

resolved_hosts resolve_proxy_hosts(const http_auth_settings& settings,
                                   std::vector<std::string>& errors) {
    std::vector<std::string> names = settings.hosts;
    if (settings.default_host) {
        // The default may carry a port of its own: only its host is resolved.
        std::string host = *settings.default_host;
        if (!host.empty() && host[0] == '[')
            host.clear();
        else if (std::count(host.begin(), host.end(), ':') == 1)
            host.erase(host.find(':'));
        if (!host.empty()) names.push_back(host);
    }
    resolved_hosts resolved;
    for (const std::string& name : names) {
        unsigned char bytes[16];
        if (::inet_pton(AF_INET, name.c_str(), bytes) == 1 ||
            ::inet_pton(AF_INET6, name.c_str(), bytes) == 1 || resolved.count(name))
            continue;
        std::string error;
        if (std::optional<std::string> address = resolve(name, error))
            resolved[name] = *address;
        else
            errors.push_back("the mail host " + name + " does not resolve: " + error);
    }
    return resolved;
}

resolved_hosts resolve_proxy_hosts_logged(const http_auth_settings& settings) {
    std::vector<std::string> errors;
    resolved_hosts resolved = resolve_proxy_hosts(settings, errors);
    for (const std::string& error : errors) error_log("Service: %s", error.c_str());
    return resolved;
}
