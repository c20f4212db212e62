// auth_load's side of nginx's auth_http protocol, as nginx's mail proxy
// speaks it: one GET per login on a connection of its own (HTTP/1.0, closed
// by the server after its answer), the login in URL-escaped headers, the
// verdict in the answer's Auth-Status. Kept apart from the generator's
// sockets so that what it sends and how it reads an answer can be read on
// their own.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace auth_load_http {

// nginx escapes Auth-User and Auth-Pass; escaping every byte but letters,
// digits and a few marks is more than it does, and the server must undo
// any %XX alike.
inline std::string url_escape(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '@') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// The request nginx writes for an IMAP login by plain text (its first
// attempt in a session, as every new client's is).
inline std::string request(const std::string& user, const std::string& password) {
    return "GET /auth HTTP/1.0\r\nHost: localhost\r\nAuth-Method: plain\r\nAuth-User: " +
           url_escape(user) + "\r\nAuth-Pass: " + url_escape(password) +
           "\r\nAuth-Protocol: imap\r\nAuth-Login-Attempt: 1\r\nClient-IP: 127.0.0.1\r\n"
           "Client-Host: [UNAVAILABLE]\r\n\r\n";
}

enum class verdict { ok, refused, temporary, broken };

struct answer {
    verdict said = verdict::broken;
    std::string status;  // Auth-Status, or why the answer is broken
};

// A whole answer, read up to the server's close. nginx takes a login as
// right only with Auth-Server and Auth-Port beside Auth-Status: OK, and
// treats "Temporary server problem, try again later" as a temporary
// failure; any other Auth-Status is a refusal.
inline answer read(const std::string& response) {
    const std::size_t head_end = response.find("\r\n\r\n");
    if (response.rfind("HTTP/1.0 200 ", 0) != 0 && response.rfind("HTTP/1.1 200 ", 0) != 0)
        return {verdict::broken, "not 200: " + response.substr(0, response.find('\r'))};
    if (head_end == std::string::npos) return {verdict::broken, "a header cut short"};
    const std::string head = response.substr(0, head_end + 2);
    auto header = [&](const std::string& name) -> std::optional<std::string> {
        const std::size_t at = head.find("\r\n" + name + ": ");
        if (at == std::string::npos) return std::nullopt;
        const std::size_t from = at + name.size() + 4;
        return head.substr(from, head.find("\r\n", from) - from);
    };
    const std::optional<std::string> status = header("Auth-Status");
    if (!status) return {verdict::broken, "no Auth-Status"};
    answer a{verdict::refused, *status};
    if (*status == "OK") {
        if (!header("Auth-Server") || !header("Auth-Port"))
            return {verdict::broken, "OK without Auth-Server and Auth-Port"};
        a.said = verdict::ok;
    } else if (*status == "Temporary server problem, try again later") {
        a.said = verdict::temporary;
    }
    return a;
}

}  // namespace auth_load_http
