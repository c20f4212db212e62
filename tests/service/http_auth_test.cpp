// nginx's auth_http as the service reads and answers it: requests cut from
// the bytes a client sent (whole, incomplete, pipelined, with a body, too
// long), the question read from their headers, and the answers for each
// verdict, attempt and mail host.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/log.h"
#include "service/http_auth.h"

namespace {

const std::string nginx_request =
    "GET /auth HTTP/1.0\r\nHost: localhost\r\nAuth-Method: plain\r\nAuth-User: "
    "alice%40example.org\r\nAuth-Pass: a%20b%25c\r\nAuth-Protocol: imap\r\n"
    "Auth-Login-Attempt: 2\r\nClient-IP: 192.0.2.42\r\nClient-Host: [UNAVAILABLE]\r\n\r\n";

TEST(HttpAuth, TakeRequest) {
    struct row {
        std::string input;
        http_take_status status;
        int code;
        std::size_t used;
    };
    const std::string big = "GET / HTTP/1.0\r\nX: " + std::string(300, 'x') + "\r\n\r\n";
    const std::vector<row> rows = {
        {nginx_request, http_take_status::complete, 0, nginx_request.size()},
        {"GET / HTTP/1.0\nAuth-Method: plain\n\n", http_take_status::complete, 0, 35},
        {nginx_request.substr(0, 60), http_take_status::incomplete, 0, 0},
        {"", http_take_status::incomplete, 0, 0},
        // Pipelined: a second request, or a byte of one, before the answer.
        {nginx_request + nginx_request, http_take_status::refused, 400, 0},
        {nginx_request + "G", http_take_status::refused, 400, 0},
        {"GET / HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc", http_take_status::refused, 400, 0},
        {"GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", http_take_status::refused,
         400, 0},
        {"HELLO\r\n\r\n", http_take_status::refused, 400, 0},
        {"GET / HTTP/1.0\r\nContent-Length: x\r\n\r\n", http_take_status::refused, 400, 0},
        // Longer than the limit (256 here), ended or not.
        {big, http_take_status::refused, 431, 0},
        {big.substr(0, 280), http_take_status::refused, 431, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.input.substr(0, 40));
        const http_take take = take_http_request(r.input, 256);
        EXPECT_EQ(take.status, r.status) << take.why;
        EXPECT_EQ(take.code, r.code);
        EXPECT_EQ(take.used, r.used);
    }
}

http_take request_of(const std::string& method,
                     const std::vector<std::pair<std::string, std::string>>& headers) {
    http_take take;
    take.status = http_take_status::complete;
    take.method = method;
    take.headers = headers;
    return take;
}

TEST(HttpAuth, ReadRequest) {
    using headers = std::vector<std::pair<std::string, std::string>>;
    const headers plain = {{"Auth-Method", "plain"},     {"Auth-User", "bob%40example.org"},
                           {"Auth-Pass", "a%20b%25c+d"}, {"Auth-Protocol", "SMTP"},
                           {"Auth-Login-Attempt", "4"},  {"Client-IP", "192.0.2.1"}};
    auto with = [&](headers h, const std::string& name, const std::string& value) {
        for (auto& [field, v] : h)
            if (field == name) v = value;
        return h;
    };
    auto plus = [&](headers h, const std::string& name, const std::string& value) {
        h.emplace_back(name, value);
        return h;
    };
    struct row {
        std::string name;
        std::string method;
        headers given;
        bool keyed;
        std::string answer;  // the beginning of the response; "" for a query
        std::string log;     // a part of the log line
    };
    const std::vector<row> rows = {
        {"plain", "GET", plain, false, "", ""},
        {"login", "GET", with(plain, "Auth-Method", "login"), false, "", ""},
        {"key right", "GET", plus(plain, "x-auth-key", "s3cret"), true, "", ""},
        {"key missing", "GET", plain, true, "HTTP/1.0 403 Forbidden", "without X-Auth-Key"},
        {"key wrong", "GET", plus(plain, "X-Auth-Key", "s3cres"), true, "HTTP/1.0 403",
         "wrong X-Auth-Key"},
        {"key doubled", "GET", plus(plus(plain, "X-Auth-Key", "s3cret"), "X-Auth-Key", "x"), true,
         "HTTP/1.0 403", "wrong"},
        {"post", "POST", plain, false, "HTTP/1.0 405", "method POST"},
        {"user doubled", "GET", plus(plain, "auth-user", "eve"), false, "HTTP/1.0 400",
         "given twice"},
        {"no protocol",
         "GET",
         {{"Auth-Method", "plain"}, {"Auth-User", "bob"}},
         false,
         "HTTP/1.0 400",
         "without"},
        {"unknown protocol", "GET", with(plain, "Auth-Protocol", "http"), false, "HTTP/1.0 400",
         "Auth-Protocol http"},
        {"attempt", "GET", with(plain, "Auth-Login-Attempt", "-1"), false, "HTTP/1.0 400",
         "Auth-Login-Attempt"},
        {"broken escape", "GET", with(plain, "Auth-Pass", "ab%4"), false, "HTTP/1.0 400",
         "URL-escaped"},
        {"not hex", "GET", with(plain, "Auth-User", "b%zzob"), false, "HTTP/1.0 400",
         "URL-escaped"},
        // Refused as a wrong password is, the attempts counted alike.
        {"apop", "GET", with(plain, "Auth-Method", "apop"), false,
         "HTTP/1.0 200 OK\r\nAuth-Status: Invalid login or password\r\nAuth-Error-Code: 535",
         "apop needs the password in clear"},
        {"cram-md5", "GET", with(plain, "Auth-Method", "cram-md5"), false,
         "HTTP/1.0 200 OK\r\nAuth-Status: Invalid login or password", "cram-md5"},
        {"control character", "GET", with(plain, "Auth-User", "bob%0a"), false,
         "HTTP/1.0 200 OK\r\nAuth-Status: Invalid login or password", "no user table"},
    };
    http_auth_settings settings;
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        settings.key = r.keyed ? std::optional<std::string>("s3cret") : std::nullopt;
        const http_auth_step step = read_http_auth(request_of(r.method, r.given), settings);
        EXPECT_EQ(step.response.substr(0, r.answer.size()), r.answer);
        EXPECT_NE(step.log.find(r.log), std::string::npos) << step.log;
        EXPECT_EQ(step.query.has_value(), r.answer.empty());
    }
    const http_auth_step step = read_http_auth(request_of("GET", plain), http_auth_settings{});
    ASSERT_TRUE(step.query);
    EXPECT_EQ(step.query->user, "bob@example.org");
    // nginx escapes a '+' it sends: one that comes unescaped stays itself.
    EXPECT_EQ(step.query->password, "a b%c+d");
    EXPECT_EQ(step.query->protocol, mail_protocol::smtp);
    EXPECT_EQ(step.query->attempt, 4u);
    EXPECT_EQ(step.query->client_ip, std::optional<std::string>("192.0.2.1"));
}

TEST(HttpAuth, Answers) {
    const std::string ok = "HTTP/1.0 200 OK\r\nAuth-Status: OK\r\n";
    const std::string end = "Content-Length: 0\r\nConnection: close\r\n\r\n";
    const std::string invalid = "HTTP/1.0 200 OK\r\nAuth-Status: Invalid login or password\r\n";
    const std::string temporary =
        "HTTP/1.0 200 OK\r\nAuth-Status: Temporary server problem, try again later\r\n"
        "Auth-Wait: 3\r\n";
    struct row {
        mail_protocol protocol;
        unsigned long attempt;
        check_verdict verdict;
        std::optional<std::string> row_host, default_host;
        std::string response;
        bool logged;
    };
    using m = mail_protocol;
    using v = check_verdict;
    const std::vector<row> rows = {
        {m::imap,
         1,
         v::found,
         "10.0.0.2",
         {},
         ok + "Auth-Server: 10.0.0.2\r\nAuth-Port: 143\r\n",
         false},
        {m::imap, 1, v::found, "10.0.0.2:1143", "10.9.9.9",
         ok + "Auth-Server: 10.0.0.2\r\nAuth-Port: 1143\r\n", false},
        {m::smtp,
         1,
         v::found,
         "[::1]:2525",
         {},
         ok + "Auth-Server: ::1\r\nAuth-Port: 2525\r\n",
         false},
        {m::pop3, 1, v::found, "::1", {}, ok + "Auth-Server: ::1\r\nAuth-Port: 1110\r\n", false},
        {m::pop3,
         1,
         v::found,
         {},
         "10.9.9.9",
         ok + "Auth-Server: 10.9.9.9\r\nAuth-Port: 1110\r\n",
         false},
        {m::imap,
         1,
         v::found,
         "store1:993",
         {},
         ok + "Auth-Server: 10.1.1.1\r\nAuth-Port: 993\r\n",
         false},
        {m::smtp,
         1,
         v::found,
         {},
         "store1",
         ok + "Auth-Server: 10.1.1.1\r\nAuth-Port: 25\r\n",
         false},
        // A host that cannot be given as an address: try again later.
        {m::imap, 1, v::found, "store2", {}, temporary, true},
        {m::imap, 1, v::found, {}, {}, temporary, true},
        {m::imap, 1, v::found, "10.0.0.2:0", {}, temporary, true},
        {m::imap, 1, v::found, "[::1", {}, temporary, true},
        {m::smtp, 1, v::found, "store2", {}, temporary + "Auth-Error-Code: 451 4.3.0\r\n", true},
        {m::imap, 1, v::refused, {}, {}, invalid + "Auth-Wait: 3\r\n", false},
        {m::imap, 2, v::refused, {}, {}, invalid + "Auth-Wait: 3\r\n", false},
        // The last attempt: no Auth-Wait, so nginx ends the session.
        {m::imap, 3, v::refused, {}, {}, invalid, false},
        {m::pop3, 70, v::refused, {}, {}, invalid, false},
        {m::smtp,
         1,
         v::refused,
         {},
         {},
         invalid + "Auth-Wait: 3\r\nAuth-Error-Code: 535 5.7.8\r\n",
         false},
        {m::smtp, 3, v::refused, {}, {}, invalid + "Auth-Error-Code: 535 5.7.8\r\n", false},
        {m::imap, 1, v::unavailable, {}, {}, temporary, false},
        {m::smtp, 9, v::unavailable, {}, {}, temporary + "Auth-Error-Code: 451 4.3.0\r\n", false},
    };
    http_auth_settings settings;
    settings.port_pop3 = 1110;
    const resolved_hosts hosts = {{"store1", "10.1.1.1"}};
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(mail_protocol_name(r.protocol)) + " " + r.row_host.value_or("-") +
                     " " + std::to_string(r.attempt));
        settings.default_host = r.default_host;
        std::string log;
        EXPECT_EQ(
            http_auth_answer(r.protocol, r.attempt, r.verdict, r.row_host, settings, hosts, log),
            r.response + end);
        EXPECT_EQ(!log.empty(), r.logged) << log;
    }
}

TEST(HttpAuth, SettingsAndHosts) {
    struct row {
        const char *key, *value;
        bool refused;
    };
    const std::vector<row> rows = {
        {"auth_http_max_attempts", "5", false},
        {"auth_http_max_attempts", "0", true},
        {"auth_http_wait", "x", true},
        {"proxy_port_imap", "65536", true},
        {"proxy_port_smtp", "2525", false},
        {"auth_http_key", "", true},
        {"proxy_hosts", "localhost, 127.0.0.1 no-such-host.invalid", false},
    };
    http_auth_settings settings;
    for (const row& r : rows) {
        SCOPED_TRACE(r.key);
        std::vector<std::string> errors;
        std::vector<std::string>* outer = divert_log(&errors);
        EXPECT_TRUE(http_auth_settings_key(settings, r.key, r.value));
        divert_log(outer);
        EXPECT_EQ(errors.empty(), !r.refused);
    }
    EXPECT_FALSE(http_auth_settings_key(settings, "listen_http", "/x"));
    EXPECT_EQ(settings.max_attempts, 5u);
    EXPECT_EQ(settings.port_smtp, 2525u);
    EXPECT_FALSE(settings.key);
    settings.default_host = "localhost:1143";
    std::vector<std::string> errors;
    const resolved_hosts hosts = resolve_proxy_hosts(settings, errors);
    ASSERT_EQ(hosts.count("localhost"), 1u);
    EXPECT_TRUE(hosts.at("localhost") == "127.0.0.1" || hosts.at("localhost") == "::1");
    EXPECT_EQ(hosts.count("127.0.0.1"), 0u);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("no-such-host.invalid"), std::string::npos);
}

}  // namespace
