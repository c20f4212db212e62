#include "shared_state/redis_link.h"

#include <hiredis/hiredis.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

#include "config/log.h"

namespace {

constexpr std::chrono::seconds retry_pause{1};

timeval timeval_of(std::chrono::steady_clock::duration left) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(us / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(us % 1000000);
    if (tv.tv_sec == 0 && tv.tv_usec < 1000) tv.tv_usec = 1000;
    return tv;
}

bool error_starting(const redisReply* reply, const char* word) {
    return reply->type == REDIS_REPLY_ERROR && reply->str &&
           std::strncmp(reply->str, word, std::strlen(word)) == 0;
}

// Why the endpoint cannot serve us whatever we ask, or "" when it can: a
// replica refuses writes, a Redis wanting a password (or another one)
// refuses everything, one loading its data or cut from its primary too.
std::string unusable(const redisReply* reply) {
    if (error_starting(reply, "READONLY")) return "a replica (READONLY)";
    for (const char* word : {"NOAUTH", "WRONGPASS", "LOADING", "MASTERDOWN", "MISCONF"})
        if (error_starting(reply, word)) return reply->str;
    return "";
}

}  // namespace

void redis_reply_free::operator()(redisReply* reply) const { freeReplyObject(reply); }
void redis_link::context_free::operator()(redisContext* context) const { redisFree(context); }

redis_link::redis_link(std::vector<redis_endpoint> endpoints, std::chrono::milliseconds timeout,
                       std::optional<std::string> password)
    : endpoints_(std::move(endpoints)), timeout_(timeout), password_(std::move(password)) {}

redis_link::~redis_link() = default;

void redis_link::wait_at_least(std::chrono::milliseconds timeout) {
    if (timeout > timeout_) timeout_ = timeout;
}

bool redis_link::connect(std::size_t endpoint, steady::time_point deadline, std::string& reason) {
    const redis_endpoint& where = endpoints_[endpoint];
    const timeval tv = timeval_of(deadline - steady::now());
    std::unique_ptr<redisContext, context_free> context(
        redisConnectWithTimeout(where.host.c_str(), where.port, tv));
    if (!context) {
        reason = "no memory for a connection";
        return false;
    }
    if (context->err) {
        reason = context->errstr;
        return false;
    }
    context_ = std::move(context);
    current_ = endpoint;
    owner_ = ::getpid();
    if (!password_) return true;
    redis_reply reply = ask({"AUTH", *password_}, deadline, reason);
    if (reply && reply->type != REDIS_REPLY_ERROR) return true;
    if (reply) reason = std::string("AUTH refused: ") + (reply->str ? reply->str : "");
    context_.reset();
    return false;
}

redis_reply redis_link::ask(const std::vector<std::string>& words, steady::time_point deadline,
                            std::string& reason) {
    const steady::time_point now = steady::now();
    if (now >= deadline) {
        reason = "no answer within " + std::to_string(timeout_.count()) + " ms";
        return nullptr;
    }
    redisSetTimeout(context_.get(), timeval_of(deadline - now));
    std::vector<const char*> argv;
    std::vector<size_t> sizes;
    for (const std::string& word : words) {
        argv.push_back(word.data());
        sizes.push_back(word.size());
    }
    redis_reply reply(static_cast<redisReply*>(redisCommandArgv(
        context_.get(), static_cast<int>(argv.size()), argv.data(), sizes.data())));
    if (!reply) {
        reason = context_->errstr[0] ? context_->errstr : "no reply";
        context_.reset();
    }
    return reply;
}

void redis_link::back(std::size_t endpoint) {
    error_log("Shared state: Redis back (%s): the throttle and cache flushes are shared again",
              endpoints_[endpoint].text().c_str());
}

void redis_link::lost(const std::string& why) {
    if (said_lost_) return;
    said_lost_ = true;
    error_log(
        "Shared state: Redis lost (%s): the throttle and cache flushes are this host's alone "
        "until it is back",
        why.c_str());
}

redis_reply redis_link::run(const std::vector<std::string>& words,
                            std::optional<steady::time_point> until) {
    if (context_ && owner_ != ::getpid()) {
        // The parent's connection: its socket is closed here alone.
        context_.reset();
    }
    const steady::time_point start = steady::now();
    if (!context_ && start < next_try_) return nullptr;
    const steady::time_point deadline = until ? *until : start + timeout_;
    std::vector<bool> passed(endpoints_.size(), false);
    std::string reason;
    // What each endpoint did, for the line that says Redis is lost.
    std::vector<std::string> said(endpoints_.size());
    // A connection kept from before may have been closed meanwhile (Redis
    // started again, its idle timeout): its endpoint gets a fresh one first.
    bool kept = context_ != nullptr;
    std::optional<std::size_t> dropped;
    std::string dropped_reason;
    // The endpoint of the connection first, then every other in the order given.
    for (std::size_t attempt = 0; attempt <= endpoints_.size() + 1; ++attempt) {
        if (steady::now() >= deadline) {
            if (reason.empty())
                reason = "no answer within " + std::to_string(timeout_.count()) + " ms";
            break;
        }
        if (!context_) {
            std::size_t next = 0;
            while (next < endpoints_.size() && passed[next]) ++next;
            if (next == endpoints_.size()) break;
            passed[next] = true;
            if (!connect(next, deadline, reason)) {
                said[next] = reason;
                continue;
            }
        }
        const std::size_t serving = current_;
        const bool fresh = !kept;
        kept = false;
        redis_reply reply = ask(words, deadline, reason);
        if (reply && !unusable(reply.get()).empty()) {
            reason = unusable(reply.get());
            context_.reset();
            reply.reset();
            passed[serving] = true;
        }
        if (!reply) {
            said[serving] = reason;
            if (fresh) passed[serving] = true;
            if (!dropped) {
                dropped = serving;
                dropped_reason = reason;
            }
            continue;
        }
        if (said_lost_) {
            back(serving);
        } else if (dropped && *dropped != serving) {
            lost(endpoints_[*dropped].text() + ": " + dropped_reason);
            back(serving);
        }
        said_lost_ = false;
        return reply;
    }
    if (endpoints_.empty()) return nullptr;
    std::string where;
    for (std::size_t i = 0; i < endpoints_.size(); ++i) {
        if (said[i].empty()) continue;
        if (!where.empty()) where += "; ";
        where += endpoints_[i].text() + ": " + said[i];
    }
    if (where.empty()) where = endpoints_.front().text() + ": " + reason;
    lost(where);
    next_try_ = steady::now() + retry_pause;
    return nullptr;
}
