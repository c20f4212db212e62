#include "odbc/data_source.h"

#include <odbcinst.h>

#include <algorithm>

#include "odbc/sql_text.h"

namespace {

// One key of one section of an ini file the driver manager reads, in a
// buffer that grows until the whole value fits.
std::string profile_string(const std::string& section, const std::string& key, const char* file) {
    if (section.empty()) return {};
    std::vector<char> buffer(256);
    for (;;) {
        const int length = SQLGetPrivateProfileString(
            section.c_str(), key.c_str(), "", buffer.data(), static_cast<int>(buffer.size()), file);
        if (length <= 0) return {};
        // A value that filled the buffer may have been cut.
        if (static_cast<std::size_t>(length) + 1 < buffer.size() || buffer.size() >= 65536)
            return std::string(buffer.data(), std::min<std::size_t>(length, buffer.size() - 1));
        buffer.resize(buffer.size() * 4);
    }
}

}  // namespace

std::string data_source_setting(const std::string& data_source, const std::string& key) {
    return profile_string(data_source, key, "odbc.ini");
}

std::string data_source_driver_library(const std::string& data_source) {
    const std::string driver = data_source_setting(data_source, "Driver");
    if (driver.find('/') != std::string::npos) return driver;
    return profile_string(driver, "Driver", "odbcinst.ini");
}

std::optional<std::string> connect_string_value(const std::string& connect,
                                                const std::string& key) {
    std::size_t at = 0;
    while (at < connect.size()) {
        const std::size_t equals = connect.find('=', at);
        if (equals == std::string::npos) break;
        std::string name = connect.substr(at, equals - at);
        name.erase(0, name.find_first_not_of(' '));
        name.erase(name.find_last_not_of(' ') + 1);
        std::string value;
        std::size_t end = equals + 1;
        if (end < connect.size() && connect[end] == '{') {
            // Braces hold ";" and "}}" stands for "}".
            for (++end; end < connect.size(); ++end) {
                if (connect[end] == '}') {
                    if (end + 1 < connect.size() && connect[end + 1] == '}') {
                        value += '}';
                        ++end;
                        continue;
                    }
                    ++end;
                    break;
                }
                value += connect[end];
            }
            end = connect.find(';', end);
        } else {
            const std::size_t semicolon = connect.find(';', end);
            value = connect.substr(
                end, semicolon == std::string::npos ? std::string::npos : semicolon - end);
            end = semicolon;
        }
        if (EqualsNoCase(name, key)) return value;
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return std::nullopt;
}

std::vector<std::string> connect_secrets(const std::string& connect) {
    std::vector<std::string> secrets;
    auto add = [&](const std::string& secret) {
        if (!secret.empty() && std::find(secrets.begin(), secrets.end(), secret) == secrets.end())
            secrets.push_back(secret);
    };
    for (const char* key : {"PWD", "Password"})
        if (std::optional<std::string> value = connect_string_value(connect, key)) add(*value);
    if (std::optional<std::string> dsn = connect_string_value(connect, "DSN"))
        for (const char* key : {"Password", "PWD"}) add(data_source_setting(*dsn, key));
    return secrets;
}

std::string hide_secrets(const std::string& text, const std::vector<std::string>& secrets) {
    std::vector<const std::string*> longest_first;
    for (const std::string& secret : secrets)
        if (!secret.empty()) longest_first.push_back(&secret);
    if (longest_first.empty()) return text;
    std::sort(longest_first.begin(), longest_first.end(),
              [](const std::string* a, const std::string* b) { return a->size() > b->size(); });
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::string* found = nullptr;
        for (const std::string* secret : longest_first) {
            if (text.compare(i, secret->size(), *secret) == 0) {
                found = secret;
                break;
            }
        }
        if (found) {
            out += "****";
            i += found->size();
        } else {
            out += text[i++];
        }
    }
    return out;
}
