// The connect string under hostile settings: the data-source name, login
// and password come from the ini file. Read back by the ODBC rules (pieces
// "KEY=value;", a value in braces running to the lone "}" with "}}" standing
// for one "}"), the string must give exactly the values it was built from,
// in order, with no extra piece; the logged form must hide the password.
#include <optional>
#include <utility>

#include "dbwrap/connect_string.h"
#include "fuzz_support.h"

namespace {

using piece = std::pair<std::string, std::string>;

// Reads the pieces as a driver manager would; nothing when the text is not
// a well-formed connect string.
std::optional<std::vector<piece>> read_connect_string(const std::string& text) {
    std::vector<piece> pieces;
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t equals = text.find('=', i);
        if (equals == std::string::npos) return std::nullopt;
        std::string key = text.substr(i, equals - i);
        for (char& c : key) c = fuzz_upper(c);
        i = equals + 1;
        std::string value;
        if (i < text.size() && text[i] == '{') {
            ++i;
            for (;;) {
                if (i >= text.size()) return std::nullopt;
                if (text[i] == '}') {
                    if (i + 1 < text.size() && text[i + 1] == '}') {
                        value += '}';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                value += text[i++];
            }
            if (i < text.size() && text[i] != ';') return std::nullopt;
        } else {
            std::size_t semicolon = text.find(';', i);
            if (semicolon == std::string::npos) semicolon = text.size();
            value = text.substr(i, semicolon - i);
            i = semicolon;
            // A driver manager trims an unbraced value, so one with blanks
            // at its ends must have been braced.
            if (!value.empty() && (value.front() == ' ' || value.front() == '\t' ||
                                   value.back() == ' ' || value.back() == '\t'))
                return std::nullopt;
        }
        pieces.emplace_back(key, value);
        if (i < text.size()) ++i;  // the ";"
    }
    return pieces;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // NUL separates the settings: an ini line holding one never becomes a
    // setting, so no value carries it. One piece gives the data source
    // alone, two add the login, three the password (a login may be absent
    // while a password is present when the second piece is the single byte 0x01).
    std::vector<std::string> parts = fuzz_pieces(data, size, '\0');
    if (parts.size() > 3) return 0;
    std::optional<std::string> dsn = parts[0];
    std::optional<std::string> login, password;
    if (parts.size() >= 2 && parts[1] != "\x01") login = parts[1];
    if (parts.size() >= 3) password = parts[2];

    connect_strings built = build_connect_string(dsn, login, password);

    std::vector<piece> expected{{"DSN", *dsn}};
    if (login) expected.emplace_back("UID", *login);
    std::vector<piece> shown = expected;
    if (password) {
        expected.emplace_back("PWD", *password);
        shown.emplace_back("PWD", "****");
    }
    std::optional<std::vector<piece>> sent_back = read_connect_string(built.sent);
    FUZZ_CHECK(sent_back.has_value(), built.sent);
    FUZZ_CHECK(*sent_back == expected, built.sent);
    std::optional<std::vector<piece>> shown_back = read_connect_string(built.shown);
    FUZZ_CHECK(shown_back.has_value(), built.shown);
    FUZZ_CHECK(*shown_back == shown, built.shown);
    return 0;
}
