// Cyrus SASL's saslauthd protocol, the server's side, as libsasl2
// (pwcheck_method: saslauthd) and testsaslauthd speak it: a client connects,
// writes one request of four counted strings (login, password, service,
// realm; each a 2-byte length in network order, then its bytes), reads one
// counted answer, "OK" or "NO <reason>", and the server closes. Parsing and
// answers only; the service reads and writes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "service/auth_protocol.h"

struct saslauthd_request {
    std::string login, password, service, realm;

    saslauthd_request() = default;
    saslauthd_request(const saslauthd_request&) = delete;
    saslauthd_request& operator=(const saslauthd_request&) = delete;
    saslauthd_request(saslauthd_request&&) = default;
    saslauthd_request& operator=(saslauthd_request&&) = default;
    ~saslauthd_request();
};

enum class saslauthd_status { incomplete, complete, broken };

struct saslauthd_take {
    saslauthd_status status = saslauthd_status::incomplete;
    saslauthd_request request;  // complete: the four strings
    const char* broken = "";    // why the bytes are no request
};

// The request that `input` holds. One request is a connection's whole
// input: strings longer than `limit` together (the service's max_line, so
// that no client is read without end; libsasl2 sends at most 8192 bytes),
// or a byte after the fourth string, are broken as soon as the bytes read
// show it.
saslauthd_take take_saslauthd_request(std::string_view input, std::size_t limit);

// The name the back end checks: the realm attached as the login's domain
// when it is not empty and the login has none; otherwise the login, and the
// default domain applies as for every other client.
std::string saslauthd_user(const saslauthd_request& request);

// Whether the request goes to the back end at all: a login, a name a table
// can hold, and a password, without NUL; saslauthd too refuses empty ones.
bool saslauthd_checkable(const saslauthd_request& request);

// The counted answer to a verdict. The reason of a refusal is the same for
// a wrong password and an unknown user; a database that cannot answer is a
// "NO" too (the protocol has no temporary answer) that says so.
std::string saslauthd_answer(check_verdict verdict);

// `text` as a counted string; at most 65535 bytes.
std::string counted_string(std::string_view text);
