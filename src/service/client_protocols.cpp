// The client room's protocols: each client's input read through its
// protocol file into requests for the pool, and each verdict put back into
// that protocol's words. A protocol's reader stops while client_reading()
// says no, so that the limits of the connections hold for every protocol.
#include <sodium.h>

#include "config/log.h"
#include "module/record_options.h"
#include "service/client_room.h"
#include "service/saslauthd.h"
#include "service/socketmap.h"
#include "service/wipe.h"

void client_room::process_input(client& c) {
    if (c.protocol == service_protocol::auth)
        process_auth(c);
    else if (c.protocol == service_protocol::http)
        process_http(c);
    else if (c.protocol == service_protocol::saslauthd)
        process_saslauthd(c);
    else
        process_socketmap(c);
}

// One request a connection, as nginx's HTTP/1.0 asks: the connection
// closes after its answer.
void client_room::process_http(client& c) {
    if (!client_reading(c)) return;
    http_take take = take_http_request(c.in, settings_.max_line);
    if (take.status == http_take_status::incomplete) return;
    wipe_bytes(c.in, c.in.size());
    const auto number = static_cast<unsigned long long>(c.number);
    if (take.status == http_take_status::refused) {
        error_log("Service: http client %llu sent %s: answered %d, disconnected", number,
                  take.why.c_str(), take.code);
        c.closing = true;
        send(c, http_error_response(take.code));
        return;
    }
    http_auth_step step = read_http_auth(take, settings_.http);
    for (auto& header : take.headers) wipe_bytes(header.second, header.second.size());
    if (!step.log.empty()) error_log("Service: http client %llu: %s", number, step.log.c_str());
    if (!step.query) {
        c.closing = true;
        send(c, step.response);
        return;
    }
    auto r = std::make_unique<client_request>();
    r->protocol = service_protocol::http;
    r->mail = step.query->protocol;
    r->attempt = step.query->attempt;
    r->user = step.query->user;
    r->password = std::move(step.query->password);
    r->address = step.query->client_ip;
    wipe_bytes(step.query->password, step.query->password.size());
    hand(c, std::move(r));
}

void client_room::process_auth(client& c) {
    const std::uint64_t number = c.number;
    while (client_reading(c)) {
        const std::size_t end = c.in.find('\n');
        if (end == std::string::npos ? c.in.size() > settings_.max_line
                                     : end > settings_.max_line) {
            error_log("Service: auth client %llu sent a line longer than %zu bytes: disconnected",
                      static_cast<unsigned long long>(number), settings_.max_line);
            c.closing = true;
            flush_client(c);
            return;
        }
        if (end == std::string::npos) break;
        std::string line = c.in.substr(0, end);
        wipe_bytes(c.in, end + 1);
        auth_step step = c.auth.take_line(line);
        sodium_memzero(&line[0], line.size());
        if (step.check) {
            auto r = std::make_unique<client_request>();
            r->protocol = service_protocol::auth;
            r->auth_id = step.check->id;
            r->auth_serial = step.check->serial;
            r->user = std::move(step.check->user);
            r->password = std::move(step.check->password);
            r->address = std::move(step.check->address);
            hand(c, std::move(r));
            if (!find_client(number)) return;
        }
        if (step.close) {
            error_log("Service: auth client %llu broke the protocol (%s): disconnected",
                      static_cast<unsigned long long>(number), step.broken.c_str());
            c.closing = true;
        }
        if (!step.reply.empty() || step.close) {
            send(c, step.reply);
            if (!find_client(number)) return;
        }
    }
}

void client_room::process_socketmap(client& c) {
    const std::uint64_t number = c.number;
    while (client_reading(c)) {
        const netstring_take take = take_netstring(c.in, settings_.max_line);
        if (take.status == netstring_status::incomplete) break;
        if (take.status == netstring_status::broken) {
            error_log("Service: socketmap client %llu broke the protocol (%s): disconnected",
                      static_cast<unsigned long long>(number), take.broken);
            c.closing = true;
            send(c, netstring(std::string("PERM ") + take.broken));
            return;
        }
        const std::string payload(take.payload);
        wipe_bytes(c.in, take.used);
        handle_socketmap(c, payload);
        if (!find_client(number)) return;
    }
}

void client_room::handle_socketmap(client& c, std::string_view payload) {
    std::optional<socketmap_request> parsed = parse_socketmap_request(payload);
    if (!parsed) {
        error_log("Service: socketmap client %llu sent no \"name key\" request: disconnected",
                  static_cast<unsigned long long>(c.number));
        c.closing = true;
        send(c, netstring("PERM malformed request"));
        return;
    }
    auto map = settings_.maps.find(parsed->name);
    if (map == settings_.maps.end()) {
        send(c, netstring("PERM unknown map name"));
        return;
    }
    // A key no user name can be is no user: never an error to the mail system.
    if (!auth_name_acceptable(parsed->key)) {
        send(c, netstring("NOTFOUND "));
        return;
    }
    auto r = std::make_unique<client_request>();
    r->protocol = service_protocol::socketmap;
    r->kind = job_kind::lookup;
    r->map = map->second;
    r->user = parsed->key;
    hand(c, std::move(r));
}

// One request a connection: once it is whole the client is read no more
// (as if it had ended), and is closed when its answer is written.
void client_room::process_saslauthd(client& c) {
    if (!client_reading(c)) return;
    saslauthd_take take = take_saslauthd_request(c.in, settings_.max_line);
    if (take.status == saslauthd_status::incomplete) return;
    wipe_bytes(c.in, c.in.size());
    if (take.status == saslauthd_status::broken) {
        error_log("Service: saslauthd client %llu broke the protocol (%s): disconnected",
                  static_cast<unsigned long long>(c.number), take.broken);
        c.closing = true;
        flush_client(c);
        return;
    }
    c.ended = true;
    if (!saslauthd_checkable(take.request)) {
        send(c, saslauthd_answer(check_verdict::refused));
        return;
    }
    auto r = std::make_unique<client_request>();
    r->protocol = service_protocol::saslauthd;
    r->user = saslauthd_user(take.request);
    r->password = std::move(take.request.password);
    hand(c, std::move(r));
}

void client_room::deliver(client& c, const client_request& r, check_verdict verdict,
                          const worker_answer* answer) {
    const auto number = static_cast<unsigned long long>(c.number);
    if (r.protocol == service_protocol::auth) {
        auth_check asked;
        asked.id = r.auth_id;
        asked.serial = r.auth_serial;
        asked.user = r.user;
        bool close = false;
        const std::string found_user = answer && answer->user ? *answer->user : "";
        const std::string line = c.auth.answer(asked, verdict, found_user, close);
        if (close) {
            debug_log("Service: auth client %llu (protocol 1.0) closed for a temporary failure",
                      number);
            c.closing = true;
        }
        if (!hold_refusal(c, verdict, line)) send(c, line);
    } else if (r.protocol == service_protocol::http) {
        std::string why;
        const std::optional<std::string> host =
            answer && answer->options ? record_option(*answer->options, "host") : std::nullopt;
        const std::string response =
            http_auth_answer(r.mail, r.attempt, verdict, host, settings_.http, proxy_hosts_, why);
        if (!why.empty())
            error_log("Service: http client %llu, user %s: %s: a temporary failure", number,
                      r.user.c_str(), why.c_str());
        c.closing = true;
        send(c, response);
    } else if (r.protocol == service_protocol::saslauthd) {
        const std::string text = saslauthd_answer(verdict);
        if (!hold_refusal(c, verdict, text)) send(c, text);
    } else {
        std::string reply = "NOTFOUND ";
        if (verdict == check_verdict::unavailable) {
            reply = "TEMP the user database cannot answer";
        } else if (verdict == check_verdict::found && answer) {
            std::optional<std::string> value;
            switch (r.map) {
            case map_answer::maildrop:
                value = answer->maildrop;
                break;
            case map_answer::user:
                value = answer->user;
                break;
            case map_answer::forward:
                if (answer->options) value = record_option(*answer->options, "fwd");
                break;
            }
            if (value && !value->empty()) reply = "OK " + *value;
        }
        send(c, netstring(reply));
    }
}
