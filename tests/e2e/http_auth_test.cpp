// nginx's auth_http served by the built service, raw requests as nginx
// writes them sent over its TCP listener and its Unix socket: right and
// wrong passwords, the back end of each user's row, the attempts limit,
// X-Auth-Key, the methods refused, broken, long and pipelined requests, and
// a database stopped.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>
#include <vector>

#include "peer_harness.h"
#include "service_harness.h"

namespace {

using qmdir::world;
using qmsvc::connection;
using qmsvc::service;

// All that the service answers before it closes; "(open)" when it does not.
std::string exchange_tcp(int port, const std::string& bytes) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return "(no connection)";
    }
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    std::string got;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) {
            got += "(open)";
            break;
        }
        char chunk[4096];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        got.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return got;
}

std::string nginx_request(const std::string& user, const std::string& pass,
                          const std::string& protocol = "imap", int attempt = 1,
                          const std::string& method = "plain",
                          const std::string& extra = "X-Auth-Key: k%ey\r\n") {
    return "GET /auth HTTP/1.0\r\nHost: localhost\r\nAuth-Method: " + method +
           "\r\nAuth-User: " + user + "\r\nAuth-Pass: " + pass + "\r\nAuth-Protocol: " + protocol +
           "\r\nAuth-Login-Attempt: " + std::to_string(attempt) +
           "\r\nClient-IP: 192.168.1.7\r\nClient-Host: [UNAVAILABLE]\r\n" + extra + "\r\n";
}

const std::string end = "Content-Length: 0\r\nConnection: close\r\n\r\n";
const std::string ok = "HTTP/1.0 200 OK\r\nAuth-Status: OK\r\n";
const std::string invalid = "HTTP/1.0 200 OK\r\nAuth-Status: Invalid login or password\r\n";
const std::string temporary =
    "HTTP/1.0 200 OK\r\nAuth-Status: Temporary server problem, try again later\r\nAuth-Wait: "
    "3\r\n";

TEST(HttpAuthService, NginxRequests) {
    world w;
    qmsvc::fill_table(w);
    w.exec(
        "ALTER TABLE maildb ADD COLUMN host VARCHAR(64);"
        "UPDATE maildb SET host = '127.0.0.2:1143' WHERE [user] = 'alice@example.org';"
        "UPDATE maildb SET host = 'localhost' WHERE [user] = 'carol@example.org';");
    const int port = qmpeer::free_port();
    service s(w, "workers 2\nmax_line 1000\nlisten_http 127.0.0.1:" + std::to_string(port) +
                     "\nfield_mail_host host\nproxy_default_host 127.0.0.9\nproxy_hosts "
                     "localhost\nauth_http_key k%ey\n");
    ASSERT_TRUE(s.ready()) << s.log();
    struct row {
        std::string name, request, answer;
    };
    const std::string bob = nginx_request("bob", "builder");
    const std::vector<row> rows = {
        {"alice's row", nginx_request("alice%40example.org", "wonderland"),
         ok + "Auth-Server: 127.0.0.2\r\nAuth-Port: 1143\r\n" + end},
        {"default host", bob, ok + "Auth-Server: 127.0.0.9\r\nAuth-Port: 143\r\n" + end},
        {"pop3", nginx_request("bob", "builder", "pop3"),
         ok + "Auth-Server: 127.0.0.9\r\nAuth-Port: 110\r\n" + end},
        {"wrong", nginx_request("bob", "Builder"), invalid + "Auth-Wait: 3\r\n" + end},
        {"unknown", nginx_request("nobody", "builder", "imap", 2),
         invalid + "Auth-Wait: 3\r\n" + end},
        {"last attempt", nginx_request("bob", "Builder", "imap", 3), invalid + end},
        {"smtp wrong", nginx_request("bob", "x", "smtp"),
         invalid + "Auth-Wait: 3\r\nAuth-Error-Code: 535 5.7.8\r\n" + end},
        // A name in the row, resolved at start from proxy_hosts.
        {"row's host name", nginx_request("carol", "c4r0l"),
         ok + "Auth-Server: 127.0.0.1\r\nAuth-Port: 143\r\n" + end},
        {"apop", nginx_request("bob", "builder", "pop3", 1, "apop"),
         invalid + "Auth-Wait: 3\r\n" + end},
        {"key missing", nginx_request("bob", "builder", "imap", 1, "plain", ""),
         "HTTP/1.0 403 Forbidden\r\n" + end},
        {"key wrong", nginx_request("bob", "builder", "imap", 1, "plain", "X-Auth-Key: k\r\n"),
         "HTTP/1.0 403 Forbidden\r\n" + end},
        {"malformed", "GET /auth HTTP/1.0\r\nContent-Length: x\r\n\r\n",
         "HTTP/1.0 400 Bad Request\r\n" + end},
        {"too large",
         nginx_request("bob", "builder", "imap", 1, "plain",
                       "X-Pad: " + std::string(1000, 'p') + "\r\n"),
         "HTTP/1.0 431 Request Header Fields Too Large\r\n" + end},
        {"pipelined", bob + bob, "HTTP/1.0 400 Bad Request\r\n" + end},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        std::string got = exchange_tcp(port, r.request);
        // localhost may resolve to either loopback address.
        const std::size_t v6 = got.find("Auth-Server: ::1\r\n");
        if (v6 != std::string::npos) got.replace(v6 + 13, 3, "127.0.0.1");
        EXPECT_EQ(got, r.answer);
    }
    const std::string log = s.log();
    EXPECT_NE(log.find("Auth-Method apop needs the password in clear"), std::string::npos) << log;
    EXPECT_NE(log.find("without X-Auth-Key"), std::string::npos) << log;
    EXPECT_NE(log.find("a second request before the first's answer"), std::string::npos) << log;
}

// The database stopped: nginx's temporary error, SMTP's 451, never a
// refusal; over the Unix socket.
TEST(HttpAuthService, DatabaseStopped) {
    QM_OWN_PG_SERVERS(servers);
    world w(qmtest::db_kind::postgres, servers.env_file());
    qmsvc::fill_table(w);
    const std::string socket = w.env().dir() + "/http.sock";
    service s(w, "workers 1\nlisten_http " + socket + "\nproxy_default_host 127.0.0.9\n");
    ASSERT_TRUE(s.ready()) << s.log();
    auto ask = [&](const std::string& protocol) {
        connection c(socket);
        c.write(nginx_request("bob", "builder", protocol, 1, "plain", ""));
        c.closed();
        return c.buffer();
    };
    ASSERT_EQ(ask("imap"), ok + "Auth-Server: 127.0.0.9\r\nAuth-Port: 143\r\n" + end) << s.log();
    ASSERT_TRUE(servers.halt());
    EXPECT_EQ(ask("imap"), temporary + end);
    EXPECT_EQ(ask("smtp"), temporary + "Auth-Error-Code: 451 4.3.0\r\n" + end);
}

}  // namespace
