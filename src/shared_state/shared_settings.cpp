#include "shared_state/shared_settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "config/ascii_text.h"
#include "config/log.h"
#include "config/number_text.h"

namespace {

constexpr long long longest_timeout_ms = 10000;
// A secret or a password is a line or two; anything larger is some other file.
constexpr std::size_t largest_secret_file = 4096;

std::optional<redis_endpoint> read_endpoint(std::string_view word) {
    redis_endpoint endpoint;
    std::string_view port;
    if (!word.empty() && word.front() == '[') {
        const std::size_t close = word.find("]:");
        if (close == std::string_view::npos || close == 1) return std::nullopt;
        endpoint.host = std::string(word.substr(1, close - 1));
        port = word.substr(close + 2);
    } else {
        const std::size_t colon = word.rfind(':');
        if (colon == std::string_view::npos || colon == 0 || word.find(':') != colon)
            return std::nullopt;
        endpoint.host = std::string(word.substr(0, colon));
        port = word.substr(colon + 1);
    }
    const std::optional<long long> number = read_number(port, number_form::digits, 1, 65535);
    if (!number) return std::nullopt;
    endpoint.port = static_cast<int>(*number);
    return endpoint;
}

bool optional_text(std::optional<std::string>& setting, const char* value) {
    if (*value)
        setting = value;
    else
        setting.reset();
    return true;
}

}  // namespace

std::optional<std::vector<redis_endpoint>> read_endpoints(const std::string& text) {
    std::vector<redis_endpoint> endpoints;
    std::size_t at = 0;
    auto separates = [](char c) { return is_blank(c) || c == ','; };
    while (at < text.size()) {
        while (at < text.size() && separates(text[at])) ++at;
        std::size_t end = at;
        while (end < text.size() && !separates(text[end])) ++end;
        if (end > at) {
            std::optional<redis_endpoint> endpoint =
                read_endpoint(std::string_view(text).substr(at, end - at));
            if (!endpoint) return std::nullopt;
            endpoints.push_back(*endpoint);
        }
        at = end;
    }
    return endpoints;
}

int shared_settings_load(shared_settings& settings, const char* key, const char* value) {
    if (!key || !value) return 0;
    if (ascii_equal_ignoring_case(key, "shared_redis")) {
        std::optional<std::vector<redis_endpoint>> endpoints = read_endpoints(value);
        if (endpoints)
            settings.endpoints = std::move(*endpoints);
        else
            error_log(
                "shared_redis takes host:port words such as 'redis1:6379 redis2:6379' "
                "([address]:port for IPv6), not (%s); setting unchanged",
                value);
        return 1;
    }
    if (ascii_equal_ignoring_case(key, "shared_redis_timeout")) {
        const std::optional<long long> ms =
            read_number(value, number_form::digits, 1, longest_timeout_ms);
        if (ms)
            settings.timeout = std::chrono::milliseconds(*ms);
        else
            error_log(
                "shared_redis_timeout takes milliseconds from 1 to %lld, not (%s); setting "
                "unchanged",
                longest_timeout_ms, value);
        return 1;
    }
    if (ascii_equal_ignoring_case(key, "shared_redis_password"))
        return optional_text(settings.password, value);
    if (ascii_equal_ignoring_case(key, "shared_redis_password_file"))
        return optional_text(settings.password_file, value);
    if (ascii_equal_ignoring_case(key, "shared_secret_file"))
        return optional_text(settings.secret_file, value);
    if (ascii_equal_ignoring_case(key, "shared_redis_prefix")) {
        settings.prefix = value;
        return 1;
    }
    return 0;
}

std::optional<std::string> read_secret_file(const std::string& path, std::string& problem,
                                            bool* shared_with_others) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        problem = std::strerror(errno);
        return std::nullopt;
    }
    struct stat file {};
    std::string bytes;
    if (::fstat(fd, &file) != 0)
        problem = std::strerror(errno);
    else if (!S_ISREG(file.st_mode))
        problem = "not a regular file";
    else if (static_cast<std::size_t>(file.st_size) > largest_secret_file)
        problem = "larger than " + std::to_string(largest_secret_file) + " bytes";
    if (problem.empty()) {
        bytes.resize(static_cast<std::size_t>(file.st_size));
        std::size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, &bytes[got], bytes.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        if (got != bytes.size()) problem = "cannot be read whole";
    }
    ::close(fd);
    if (!problem.empty()) return std::nullopt;
    if (shared_with_others) *shared_with_others = (file.st_mode & (S_IRWXG | S_IRWXO)) != 0;
    while (!bytes.empty() &&
           (is_blank(bytes.back()) || bytes.back() == '\n' || bytes.back() == '\r'))
        bytes.pop_back();
    return bytes;
}

std::vector<std::string> shared_settings_problems(const shared_settings& settings) {
    std::vector<std::string> problems;
    if (!settings.wanted()) return problems;
    if (!settings.secret_file) {
        problems.push_back(
            "shared_redis is set but shared_secret_file is not: without a secret every host "
            "shares, Redis would hold names and addresses in clear, so it is not used");
    } else {
        std::string problem;
        bool open_to_others = false;
        const std::optional<std::string> secret =
            read_secret_file(*settings.secret_file, problem, &open_to_others);
        if (!secret)
            problems.push_back("the shared secret (shared_secret_file " + *settings.secret_file +
                               ") cannot be read: " + problem + ": Redis is not used");
        else if (secret->size() < shortest_shared_secret)
            problems.push_back("the shared secret (shared_secret_file " + *settings.secret_file +
                               ") has " + std::to_string(secret->size()) + " bytes, fewer than " +
                               std::to_string(shortest_shared_secret) + ": Redis is not used");
        else if (open_to_others)
            problems.push_back("the shared secret (shared_secret_file " + *settings.secret_file +
                               ") may be read by its group or others: chmod 600 it");
    }
    if (settings.password_file) {
        std::string problem;
        if (!read_secret_file(*settings.password_file, problem))
            problems.push_back("the Redis password (shared_redis_password_file " +
                               *settings.password_file + ") cannot be read: " + problem);
    }
    return problems;
}
