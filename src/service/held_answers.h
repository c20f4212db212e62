// Refusals held back before they reach their client (auth_failure_delay):
// a client guessing passwords waits for each wrong one, while the worker
// that checked it goes straight on with the next job. The supervisor owns
// one of these; it asks how long its loop may sleep, hands over what is
// due, and forgets a client that is closed. A held answer is kept under
// the client's number, never its descriptor, so an answer cannot reach a
// later client that got the same descriptor.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <unordered_map>

class held_answers {
public:
    using clock = std::chrono::steady_clock;
    using sender = std::function<void(std::uint64_t client, const std::string& text)>;

    // Holds `text` for `client` until `due`. A deadline earlier than one
    // already held (the delay was shortened by a reload) waits for that
    // one: answers leave in the order they were held.
    void hold(std::uint64_t client, const std::string& text, clock::time_point due);

    bool holds(std::uint64_t client) const { return texts_.count(client) != 0; }
    std::size_t size() const { return texts_.size(); }

    // Drops what is held for a client that is gone.
    void forget(std::uint64_t client);

    // How long the loop may wait for its next event: until the next
    // deadline, at most `most` milliseconds.
    int wait_ms(clock::time_point now, int most) const;

    // Hands each answer due by `now` to `send`, oldest first; `send` may
    // close clients (and so forget them) as it goes.
    void release(clock::time_point now, const sender& send);
    // Everything, at once: the service is ending.
    void release_all(const sender& send) { release(clock::time_point::max(), send); }

private:
    struct deadline {
        clock::time_point at;
        std::uint64_t client;
        std::uint32_t length;  // the answer's bytes at the front of the client's text
    };
    // A client's held answers, one after the other; `sent` bytes at the
    // front are gone already (cut off only once they are the larger part).
    struct pending_text {
        std::string text;
        std::size_t sent = 0;
    };

    std::deque<deadline> deadlines_;  // in order of their times: the delay is one constant
    std::unordered_map<std::uint64_t, pending_text> texts_;
};
