// One process's connection to the shared Redis, owned whole (the context and
// every reply). It never lets a check wait on Redis for longer than the
// timeout, all endpoints together, and after a try that found none it does
// not try again within a second: a Redis that is gone costs the checks
// nothing but its absence. An endpoint that refuses a write (a replica's
// READONLY), or every command (a password missing or wrong), is passed over
// as one that does not answer, so that it is said. The loss of Redis is
// one error line, its return another. Made lazily and per process: a worker
// forked from a process that held a connection makes its own.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "shared_state/shared_settings.h"

struct redisContext;
struct redisReply;

struct redis_reply_free {
    void operator()(redisReply* reply) const;
};
using redis_reply = std::unique_ptr<redisReply, redis_reply_free>;

class redis_link {
public:
    redis_link(std::vector<redis_endpoint> endpoints, std::chrono::milliseconds timeout,
               std::optional<std::string> password);
    ~redis_link();
    redis_link(const redis_link&) = delete;
    redis_link& operator=(const redis_link&) = delete;

    // The command's reply (an error reply too, but none of an
    // endpoint that cannot serve), or null
    // when no endpoint answered within the timeout or the last try failed
    // less than a second ago.
    // The commands of one check share one deadline: `until`, when given (see
    // deadline()).
    using steady = std::chrono::steady_clock;
    redis_reply run(const std::vector<std::string>& words,
                    std::optional<steady::time_point> until = std::nullopt);
    steady::time_point deadline() const { return steady::now() + timeout_; }

    // For a tool run by hand (-flush), which may wait longer than a check.
    void wait_at_least(std::chrono::milliseconds timeout);

private:
    struct context_free {
        void operator()(redisContext* context) const;
    };
    bool connect(std::size_t endpoint, steady::time_point deadline, std::string& reason);
    redis_reply ask(const std::vector<std::string>& words, steady::time_point deadline,
                    std::string& reason);
    // Each endpoint tried and what it did: "host:port: reason; ...".
    void lost(const std::string& why);
    void back(std::size_t endpoint);

    std::vector<redis_endpoint> endpoints_;
    std::chrono::milliseconds timeout_;
    std::optional<std::string> password_;
    std::unique_ptr<redisContext, context_free> context_;
    std::size_t current_ = 0;  // the endpoint of the context
    pid_t owner_ = 0;          // the process that made the context
    steady::time_point next_try_{};
    bool said_lost_ = false;  // and not yet back
};
