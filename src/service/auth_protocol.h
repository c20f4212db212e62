// Dovecot's authentication protocol, the server's side of one client
// connection, as Postfix (smtpd_sasl_type = dovecot), Exim (driver =
// dovecot) and Dovecot's own doveadm speak it: the handshake, AUTH with the
// PLAIN and LOGIN mechanisms, CONT for their further steps, CANCEL, and
// the OK and FAIL lines that answer. No input or output here: the service
// feeds the client's lines in and sends what comes back.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

// How the back end met a check.
enum class check_verdict { found, refused, unavailable };

// A check for the back end, the user and password as the client gave them.
struct auth_check {
    unsigned id = 0;
    std::uint64_t serial = 0;  // tells a request from a later one with the same id
    std::string user, password;
    std::optional<std::string> address;  // rip=, for the user's address mask
};

// What one client line leads to.
struct auth_step {
    std::string reply;                // lines to send now, each ending in LF
    std::optional<auth_check> check;  // a check to hand to the back end
    // The client broke the protocol: the reply is sent, then the connection
    // closed; `broken` says why, for the log.
    bool close = false;
    std::string broken;
};

// The user name's bytes a user table cannot hold: control characters.
bool auth_name_acceptable(std::string_view name);

// Dovecot's tab-escaping undone: \001 followed by 0, 1, t, r, n (or l) is
// NUL, \001, TAB, CR, LF; followed by anything else, that character.
std::string tab_unescape(std::string_view text);

class auth_conversation {
public:
    // `max_waiting`: the requests that may wait for the client's next step
    // at once (PLAIN's response, LOGIN's name or password). Each holds what
    // the client sent so far; one more ends the connection.
    explicit auth_conversation(std::size_t max_waiting = 16) : max_waiting_(max_waiting) {}

    // What the server sends as soon as a client connects, whole: VERSION,
    // a MECH line for PLAIN and for LOGIN, SPID, CUID, COOKIE and DONE.
    static std::string handshake(unsigned long server_pid, unsigned long connection,
                                 const std::string& cookie);

    // One line from the client without its line feed.
    auth_step take_line(std::string_view line);

    // The line that answers a check handed out, line feed included; "" when
    // the request was cancelled or replaced meanwhile. A temporary failure
    // to a client of protocol 1.0 (Postfix, Exim), which reads every FAIL
    // as a wrong password and only a connection lost before the answer as
    // "try again later", sets `close` and says nothing.
    std::string answer(const auth_check& check, check_verdict verdict,
                       const std::string& found_user, bool& close);

    // Requests begun and not yet answered.
    std::size_t outstanding() const { return pending_.size(); }

private:
    enum class stage { plain_response, login_user, login_password, checking };
    struct pending {
        stage at = stage::checking;
        std::uint64_t serial = 0;
        std::string user;  // the name being checked, or LOGIN's once given
        std::optional<std::string> address;
    };

    auth_step begin(std::string_view rest);
    auth_step resume(std::string_view rest);
    // The step of a mechanism's data, decoded.
    auth_step mechanism_data(unsigned id, pending& request, const std::string& data);
    auth_step refuse(unsigned id, const std::string& user, const char* reason = nullptr);
    auth_step checking(unsigned id, pending& request, std::string user, std::string password);
    std::size_t waiting() const;

    std::size_t max_waiting_;
    bool version_seen_ = false;
    unsigned minor_ = 0;
    std::uint64_t next_serial_ = 1;
    std::map<unsigned, pending> pending_;
};
