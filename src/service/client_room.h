// The client room: the listening sockets and the client connections on
// them, each speaking one protocol (Dovecot's authentication protocol,
// Postfix's socketmap, nginx's auth_http, saslauthd's). It accepts, reads
// within the limits, parses through the protocol files, hands each check
// or lookup to the worker pool and writes the answers back in each
// client's order. A new protocol is a reader in process_input() and its
// words in deliver(); the pool and the process's life stay as they are.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "service/auth_protocol.h"
#include "service/event_loop.h"
#include "service/held_answers.h"
#include "service/http_auth.h"
#include "service/listen_socket.h"
#include "service/service_settings.h"
#include "service/worker_pool.h"

class client_room : public pool_asker {
public:
    // `settings` stays the caller's, read again after a reload.
    client_room(event_loop& loop, const service_settings& settings, worker_pool& pool)
        : loop_(loop), settings_(settings), pool_(pool) {
        pool_.answer_to(*this);
    }

    // The sockets systemd handed over and those the settings name; false
    // (logged) when one cannot be made or none is set.
    bool open_listeners();
    // listen_http's mail hosts, resolved at start and reload.
    void resolve_proxy_hosts();

    void on_listener(std::size_t index);
    // The clients' loop is ready: every client with an event served.
    void on_clients();
    // While every worker has a backlog, reading requests would only make
    // the queues longer and cost the supervisor a wake-up for each: the
    // clients' loop leaves the main loop (one call) until a queue runs
    // low, and the requests wait in their sockets, to be read many a turn.
    void pause_reading(bool paused);
    bool reading_paused() const { return reading_paused_; }
    void answered(pool_request& r, check_verdict verdict, const worker_answer* answer,
                  bool resume) override;
    bool still_asked(const pool_request& r) const override;

    // Accepting again after a pause for want of descriptors.
    void resume_accepting(std::chrono::steady_clock::time_point now);
    void close_idle(std::chrono::steady_clock::time_point now);

    // No more reading: each client is closed once its answers are written;
    // refusals held back are sent at once, so no client loses one.
    void drain();
    // How long the loop may sleep before a held refusal is due, at most
    // `most` milliseconds; and the refusals due by `now`, sent.
    int wait_ms(std::chrono::steady_clock::time_point now, int most) const {
        return delayed_.wait_ms(now, most);
    }
    void release_held(std::chrono::steady_clock::time_point now);
    void close_listeners();
    void flush_all();
    // The answers and replies of this turn written, one write a client:
    // send() only queues them, so that answers arriving together for one
    // client leave together.
    void flush_queued();
    bool written() const;
    // Whatever the clients can take at once, then every connection closed.
    void finish();

private:
    // A request as the room keeps it: the pool's, and the words its
    // answer needs.
    struct client_request : pool_request {
        service_protocol protocol = service_protocol::auth;
        unsigned auth_id = 0;  // auth: the client's id and serial of the check
        std::uint64_t auth_serial = 0;
        map_answer map = map_answer::maildrop;
        mail_protocol mail = mail_protocol::imap;  // http: the proxy's protocol and attempt
        unsigned long attempt = 1;
    };

    struct client {
        explicit client(std::size_t max_pending) : auth(max_pending) {}
        std::uint64_t number = 0;
        int fd = -1;
        service_protocol protocol = service_protocol::auth;
        std::string in, out;
        // The idle clock's start: the client's last byte, or the answer to
        // its last request when that came later. A client waiting for an
        // answer is not idle, however slow the check.
        std::chrono::steady_clock::time_point quiet_since;
        auth_conversation auth;
        std::size_t at_workers = 0;  // requests handed out and not yet answered
        bool ended = false;          // the client sent its last byte: close once answered
        bool closing = false;        // close as soon as `out` is written
        bool queued = false;         // in unflushed_: `out` grew this turn
        std::uint32_t events = 0;
    };

    // Connections.
    void on_client(std::uint64_t number, std::uint32_t events);
    void read_client(client& c);
    void send(client& c, const std::string& text);
    // `c` written at the turn's end (flush_queued()), once however often asked.
    void flush_at_turn_end(client& c);
    void flush_client(client& c);
    void update_client(client& c);
    void close_client(client& c, const char* why = nullptr);
    client* find_client(std::uint64_t number);
    bool client_reading(const client& c) const;
    void hand(client& c, std::unique_ptr<client_request> r);
    bool hold_refusal(const client& c, check_verdict verdict, const std::string& text);
    bool answered_all(const client& c) const {
        return c.at_workers == 0 && !delayed_.holds(c.number);
    }

    // Protocols (client_protocols.cpp).
    void process_input(client& c);
    void process_auth(client& c);
    void process_socketmap(client& c);
    void handle_socketmap(client& c, std::string_view payload);
    void process_http(client& c);
    void process_saslauthd(client& c);
    // Where a verdict becomes the client's answer, in its protocol's words.
    void deliver(client& c, const client_request& r, check_verdict verdict,
                 const worker_answer* answer);

    event_loop& loop_;
    const service_settings& settings_;
    worker_pool& pool_;
    event_loop set_;  // the clients' sockets, watched as one in loop_
    bool reading_paused_ = false;
    std::vector<listen_socket> listeners_;
    resolved_hosts proxy_hosts_;
    std::unordered_map<std::uint64_t, std::unique_ptr<client>> clients_;
    held_answers delayed_;                  // refusals waiting out auth_failure_delay
    std::vector<std::uint64_t> unflushed_;  // clients whose answers wait for the turn's end
    std::uint64_t next_client_ = 1;
    unsigned long connections_ = 0;
    std::chrono::steady_clock::time_point last_full_note_, accept_paused_until_;
    bool accept_paused_ = false;
    bool draining_ = false;
};
