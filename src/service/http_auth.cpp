// The request is parsed afresh from the first byte whenever more arrive:
// it is bounded by max_line, and a fresh parser keeps no state between
// reads that a client could leave half-made.
#include "service/http_auth.h"

#include <arpa/inet.h>
#include <http_parser.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "config/ascii_text.h"
#include "config/number_text.h"
#include "config/secret_text.h"

namespace {

struct parse_state {
    http_take* take = nullptr;
    bool in_value = false;
    bool complete = false;
    const char* refusal = nullptr;
};

parse_state& state_of(http_parser* parser) { return *static_cast<parse_state*>(parser->data); }

int on_header_field(http_parser* parser, const char* at, std::size_t length) {
    parse_state& s = state_of(parser);
    if (s.in_value || s.take->headers.empty()) s.take->headers.emplace_back();
    s.in_value = false;
    s.take->headers.back().first.append(at, length);
    return 0;
}

int on_header_value(http_parser* parser, const char* at, std::size_t length) {
    parse_state& s = state_of(parser);
    if (s.take->headers.empty()) return 1;
    s.in_value = true;
    s.take->headers.back().second.append(at, length);
    return 0;
}

int on_headers_complete(http_parser* parser) {
    parse_state& s = state_of(parser);
    const bool body = (parser->flags & F_CHUNKED) ||
                      (parser->content_length != ULLONG_MAX && parser->content_length > 0);
    if (body) s.refusal = "a request with a body";
    if (parser->upgrade) s.refusal = "a request to upgrade the connection";
    return s.refusal ? 1 : 0;
}

int on_message_complete(http_parser* parser) {
    state_of(parser).complete = true;
    // Whatever follows is another request: the parser stops here so that
    // the bytes this one took are known.
    http_parser_pause(parser, 1);
    return 0;
}

const http_parser_settings parser_settings = [] {
    http_parser_settings settings;
    http_parser_settings_init(&settings);
    settings.on_header_field = on_header_field;
    settings.on_header_value = on_header_value;
    settings.on_headers_complete = on_headers_complete;
    settings.on_message_complete = on_message_complete;
    return settings;
}();

http_take refused(int code, std::string why) {
    http_take take;
    take.status = http_take_status::refused;
    take.code = code;
    take.why = std::move(why);
    return take;
}

const char* reason_phrase(int code) {
    switch (code) {
    case 403:
        return "Forbidden";
    case 405:
        return "Method Not Allowed";
    case 431:
        return "Request Header Fields Too Large";
    default:
        return "Bad Request";
    }
}

// The one value of a header; absent when missing, `doubled` when given
// twice (two answers to one question would let a proxy between choose).
const std::string* header(const http_take& request, const char* name, bool& doubled) {
    const std::string* found = nullptr;
    for (const auto& [field, value] : request.headers) {
        if (!ascii_equal_ignoring_case(field, name)) continue;
        if (found) doubled = true;
        found = &value;
    }
    return found;
}

std::string response_of(const std::vector<std::pair<const char*, std::string>>& fields) {
    std::string text = "HTTP/1.0 200 OK\r\n";
    for (const auto& [name, value] : fields) text += std::string(name) + ": " + value + "\r\n";
    text += "Content-Length: 0\r\nConnection: close\r\n\r\n";
    return text;
}

http_auth_step at_once(std::string response, std::string log) {
    http_auth_step step;
    step.response = std::move(response);
    step.log = std::move(log);
    return step;
}

bool is_address(const std::string& text) {
    unsigned char bytes[16];
    return ::inet_pton(AF_INET, text.c_str(), bytes) == 1 ||
           ::inet_pton(AF_INET6, text.c_str(), bytes) == 1;
}

// "host", "host:port", "[v6]" or "[v6]:port"; a bare text with more than
// one colon is an IPv6 address without a port.
bool split_host(const std::string& text, std::string& host, std::optional<unsigned>& port) {
    std::string rest;
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos) return false;
        host = text.substr(1, close - 1);
        rest = text.substr(close + 1);
        if (!rest.empty() && rest[0] != ':') return false;
    } else if (std::count(text.begin(), text.end(), ':') == 1) {
        host = text.substr(0, text.find(':'));
        rest = text.substr(text.find(':'));
    } else {
        host = text;
    }
    if (!rest.empty()) {
        std::optional<long long> n = read_number(rest.substr(1), number_form::digits, 1, 65535);
        if (!n) return false;
        port = static_cast<unsigned>(*n);
    }
    return !host.empty();
}

}  // namespace

const char* mail_protocol_name(mail_protocol protocol) {
    switch (protocol) {
    case mail_protocol::imap:
        return "imap";
    case mail_protocol::pop3:
        return "pop3";
    case mail_protocol::smtp:
        break;
    }
    return "smtp";
}

http_take take_http_request(std::string_view input, std::size_t limit) {
    http_take take;
    parse_state state;
    state.take = &take;
    http_parser parser;
    http_parser_init(&parser, HTTP_REQUEST);
    parser.data = &state;
    const std::size_t parsed =
        http_parser_execute(&parser, &parser_settings, input.data(), input.size());
    const http_errno error = HTTP_PARSER_ERRNO(&parser);
    if (state.refusal) return refused(400, state.refusal);
    if (error == HPE_HEADER_OVERFLOW) return refused(431, "a request longer than max_line");
    if (error != HPE_OK && !(error == HPE_PAUSED && state.complete))
        return refused(400, std::string("a malformed request: ") + http_errno_description(error));
    if (!state.complete) {
        if (input.size() > limit) return refused(431, "a request longer than max_line");
        take.headers.clear();
        return take;
    }
    if (parsed > limit) return refused(431, "a request longer than max_line");
    if (parsed < input.size()) return refused(400, "a second request before the first's answer");
    take.status = http_take_status::complete;
    take.used = parsed;
    take.method = http_method_str(static_cast<http_method>(parser.method));
    return take;
}

std::optional<std::string> url_unescape(std::string_view text) {
    std::string plain;
    plain.reserve(text.size());
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        c = ascii_lower(c);
        return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            plain += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int high = digit(text[i + 1]), low = digit(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        plain += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return plain;
}

std::string http_error_response(int code) {
    return "HTTP/1.0 " + std::to_string(code) + " " + reason_phrase(code) +
           "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

http_auth_step read_http_auth(const http_take& request, const http_auth_settings& settings) {
    bool doubled = false;
    if (settings.key) {
        const std::string* given = header(request, "X-Auth-Key", doubled);
        if (!given || doubled || !same_secret(*settings.key, *given))
            return at_once(http_error_response(403), given ? "a request with the wrong X-Auth-Key"
                                                           : "a request without X-Auth-Key");
    }
    if (request.method != "GET")
        return at_once(http_error_response(405), "a request by method " + request.method);
    const std::string* method = header(request, "Auth-Method", doubled);
    const std::string* user = header(request, "Auth-User", doubled);
    const std::string* pass = header(request, "Auth-Pass", doubled);
    const std::string* protocol = header(request, "Auth-Protocol", doubled);
    const std::string* attempt = header(request, "Auth-Login-Attempt", doubled);
    const std::string* client_ip = header(request, "Client-IP", doubled);
    if (doubled) return at_once(http_error_response(400), "a request with a header given twice");
    if (!method || !user || !protocol)
        return at_once(http_error_response(400),
                       "a request without Auth-Method, Auth-User or Auth-Protocol");

    http_auth_query query;
    static const std::pair<const char*, mail_protocol> protocols[] = {
        {"imap", mail_protocol::imap},
        {"pop3", mail_protocol::pop3},
        {"smtp", mail_protocol::smtp}};
    bool known = false;
    for (const auto& [word, value] : protocols) {
        if (!ascii_equal_ignoring_case(*protocol, word)) continue;
        query.protocol = value;
        known = true;
    }
    if (!known) return at_once(http_error_response(400), "Auth-Protocol " + *protocol);
    if (attempt) {
        std::optional<long long> n = read_number(*attempt, number_form::digits, 1, INT_MAX);
        if (!n) return at_once(http_error_response(400), "Auth-Login-Attempt " + *attempt);
        query.attempt = static_cast<unsigned long>(*n);
    }
    std::optional<std::string> name = url_unescape(*user);
    std::optional<std::string> password = url_unescape(pass ? *pass : "");
    if (!name || !password)
        return at_once(http_error_response(400), "Auth-User or Auth-Pass not URL-escaped");
    if (client_ip && !client_ip->empty()) query.client_ip = *client_ip;

    const bool plain =
        ascii_equal_ignoring_case(*method, "plain") || ascii_equal_ignoring_case(*method, "login");
    if (!plain || name->empty() || !auth_name_acceptable(*name)) {
        const std::string why =
            !plain ? "Auth-Method " + *method + " needs the password in clear: refused"
                   : std::string("a name no user table holds: refused");
        // The same refusal as a wrong password's, the attempts counted alike.
        std::string unused;
        return at_once(http_auth_answer(query.protocol, query.attempt, check_verdict::refused,
                                        std::nullopt, settings, {}, unused),
                       why);
    }
    query.user = std::move(*name);
    query.password = std::move(*password);
    http_auth_step step;
    step.query = std::move(query);
    return step;
}

std::string http_auth_answer(mail_protocol protocol, unsigned long attempt, check_verdict verdict,
                             const std::optional<std::string>& row_host,
                             const http_auth_settings& settings, const resolved_hosts& hosts,
                             std::string& log) {
    const bool smtp = protocol == mail_protocol::smtp;
    const std::string wait = std::to_string(settings.wait);
    if (verdict == check_verdict::found) {
        const std::optional<std::string>& named = row_host ? row_host : settings.default_host;
        std::string host;
        std::optional<unsigned> port;
        if (!named) {
            log = "no mail host: the row names none and proxy_default_host is not set";
        } else if (!split_host(*named, host, port)) {
            log = "the mail host '" + *named + "' is no host or host:port";
        } else if (!is_address(host)) {
            auto found = hosts.find(host);
            if (found == hosts.end())
                log = "the mail host '" + host +
                      "' was not resolved at start or reload (proxy_hosts)";
            host = found == hosts.end() ? "" : found->second;
        }
        if (log.empty()) {
            if (!port)
                port = protocol == mail_protocol::imap   ? settings.port_imap
                       : protocol == mail_protocol::pop3 ? settings.port_pop3
                                                         : settings.port_smtp;
            return response_of({{"Auth-Status", "OK"},
                                {"Auth-Server", host},
                                {"Auth-Port", std::to_string(*port)}});
        }
        verdict = check_verdict::unavailable;
    }
    if (verdict == check_verdict::unavailable) {
        std::vector<std::pair<const char*, std::string>> fields = {
            {"Auth-Status", "Temporary server problem, try again later"}, {"Auth-Wait", wait}};
        if (smtp) fields.push_back({"Auth-Error-Code", "451 4.3.0"});
        return response_of(fields);
    }
    std::vector<std::pair<const char*, std::string>> fields = {
        {"Auth-Status", "Invalid login or password"}};
    // Past the limit, no Auth-Wait: nginx then ends the session, whose
    // memory grows with every attempt.
    if (attempt < settings.max_attempts) fields.push_back({"Auth-Wait", wait});
    if (smtp) fields.push_back({"Auth-Error-Code", "535 5.7.8"});
    return response_of(fields);
}
