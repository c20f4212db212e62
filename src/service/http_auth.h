// nginx's mail proxy asks an HTTP server (auth_http) whether a login is
// right and which back-end server holds the user: one GET per connection,
// the question in its headers (Auth-Method, Auth-User, Auth-Pass,
// Auth-Protocol, Auth-Login-Attempt, Client-IP), the answer in the
// response's headers (Auth-Status, Auth-Server, Auth-Port, Auth-Wait,
// Auth-Error-Code). The request is read by nodejs' http-parser; here are
// what it is taken to ask and the words of the answers. No input or output:
// the service feeds the client's bytes in and sends what comes back.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "service/auth_protocol.h"

enum class mail_protocol { imap, pop3, smtp };

// The keys of listen_http and of the back ends it names.
struct http_auth_settings {
    std::optional<std::string> key;           // auth_http_key: X-Auth-Key must carry it
    unsigned max_attempts = 3;                // refusals past this attempt carry no Auth-Wait
    unsigned wait = 3;                        // Auth-Wait, seconds
    std::optional<std::string> default_host;  // proxy_default_host
    std::vector<std::string> hosts;           // proxy_hosts: names rows may give
    unsigned port_imap = 143, port_pop3 = 110, port_smtp = 25;
};

// 1 when `key` is one of the keys above (a value refused is an error line
// and leaves the setting as it was).
bool http_auth_settings_key(http_auth_settings& settings, const char* key, const char* value);

// Host names to addresses, as resolved at start and on reload: a login
// never waits for a resolver.
using resolved_hosts = std::map<std::string, std::string>;

// proxy_default_host and proxy_hosts resolved (addresses kept as they are);
// each name that does not resolve is one line in `errors`.
resolved_hosts resolve_proxy_hosts(const http_auth_settings& settings,
                                   std::vector<std::string>& errors);

// The same, each name that does not resolve an error line in the log:
// logins naming it get a temporary failure until a reload resolves it.
resolved_hosts resolve_proxy_hosts_logged(const http_auth_settings& settings);

// One request read from the bytes a client sent.
enum class http_take_status { incomplete, complete, refused };
struct http_take {
    http_take_status status = http_take_status::incomplete;
    std::size_t used = 0;  // bytes the request took, when complete
    std::string method;
    std::vector<std::pair<std::string, std::string>> headers;
    int code = 0;     // refused: the 4xx to answer
    std::string why;  // refused: for the log
};

// The first request of `input`, at most `limit` bytes. A request with a
// body, an upgrade, or bytes after it (pipelined) is refused: nginx sends
// one bodiless request and waits for the answer.
http_take take_http_request(std::string_view input, std::size_t limit);

// The question a request asks, once read.
struct http_auth_query {
    std::string user, password;
    mail_protocol protocol = mail_protocol::imap;
    unsigned long attempt = 1;
    std::optional<std::string> client_ip;
};

struct http_auth_step {
    std::optional<http_auth_query> query;  // to be checked
    std::string response;                  // otherwise: answered at once
    std::string log;                       // a line for the log, when not empty
};

// The request's question, or the answer that refuses it: 403 without the
// right X-Auth-Key, 400 for a header missing, doubled or not URL-escaped,
// 405 for a method other than GET, a refusal for the methods that need the
// stored password in clear (apop, cram-md5) or a name no table holds.
http_auth_step read_http_auth(const http_take& request, const http_auth_settings& settings);

// The answer to a checked query. `row_host` is the user's mail host option
// ("host", "host:port", "[v6]:port"); a host that cannot be given as an
// address is a temporary failure, with a line in `log`.
std::string http_auth_answer(mail_protocol protocol, unsigned long attempt, check_verdict verdict,
                             const std::optional<std::string>& row_host,
                             const http_auth_settings& settings, const resolved_hosts& hosts,
                             std::string& log);

// A bare HTTP error ("HTTP/1.0 400 Bad Request") that closes the connection.
std::string http_error_response(int code);

// nginx's URL escaping undone: %XX to its byte; absent for a broken escape.
std::optional<std::string> url_unescape(std::string_view text);

const char* mail_protocol_name(mail_protocol protocol);
