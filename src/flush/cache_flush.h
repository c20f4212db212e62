// Flushes of the answer caches of every process on the machine, without a
// signal and without a list of pids: quillmar -flush writes a record into
// one small shared file (cache_flush_path), and each process with a cache
// looks at the file between commands, at most every flush_look_interval, and
// drops what the records it has not seen yet name. A record names one user
// by a hash of the name (its ASCII letters in lower case and the blanks at
// its end dropped, so that "Bob" and "bob " drop "bob" too) or every entry;
// a process drops the entries asked under that name and those whose kept
// record is the row of that name, whatever they were asked under. The file is a generation counter
// and a ring of the latest records; a process that fell more than the ring behind drops every
// entry, which is always safe.
//
// The file survives: a writer that dies in the middle of a flush (records
// are written before the counter that makes them count, and writers take
// turns under flock), the file being removed (the next flush makes it anew,
// and each process replays what the new file holds), and a file that is
// not one (the next flush replaces it).
//
// With shared_redis the flushes are written to Redis as well and followed
// there at the same pace, so that a flush on one front host reaches every
// host; the file still serves this host alone when Redis is gone.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class shared_state;

using flush_clock = std::chrono::steady_clock;

// How often a process looks at the file at most: as often as at the
// SQLite file of the data source.
inline constexpr std::chrono::milliseconds flush_look_interval{100};

// The hash a record names a user by; never 0, which names every entry.
// Names without blanks at their end hash as in earlier versions, so that
// their processes and this one read each other's records alike.
std::uint64_t flush_user_hash(std::string_view user);

// Writes a flush of `user`, or of every entry when there is none, making
// the file (and the last folder of its path) when missing. False, with the
// reason in `error`, when it could not be written.
bool write_cache_flush(const std::string& path, const std::optional<std::string>& user,
                       std::string& error);

// The flush written to Redis too (shared_redis): `off` when it is not set,
// `failed` with the reason in `error` when Redis did not take it.
enum class shared_flush { off, written, failed };
shared_flush write_shared_flush(const std::optional<std::string>& user, std::string& error);

// How long a flush must wait before it may say that every process drops
// the entries before its next command: a look interval, and what the
// coarse clock may lag behind on each side.
std::chrono::milliseconds flush_settle_time();

// What was flushed since the last look.
struct flush_news {
    bool all = false;
    std::vector<std::uint64_t> users;  // hashes, for flush_user_hash
    bool any() const { return all || !users.empty(); }
};

// One process's view of the file. The flushes written before it was made
// are none of its business: its cache was empty then.
class flush_follower {
public:
    flush_follower(std::string path, flush_clock::time_point now);
    ~flush_follower();
    flush_follower(const flush_follower&) = delete;
    flush_follower& operator=(const flush_follower&) = delete;

    bool due(flush_clock::time_point now) const { return now >= next_look_; }
    // Looks at the file (whatever the time: callers ask due first) and
    // returns what it flushed since the last look.
    flush_news look(flush_clock::time_point now);

private:
    bool open_file(bool replay);
    void read_news(flush_news& news);

    std::string path_;
    shared_state* shared_ = nullptr;
    int fd_ = -1;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    std::uint64_t seen_ = 0;
    flush_clock::time_point next_look_;
    std::string reported_;  // the problem last logged, so that each is said once
};
