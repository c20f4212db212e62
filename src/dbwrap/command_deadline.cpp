#include "dbwrap/command_deadline.h"

#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "stats/counters.h"

namespace {

using clock_type = std::chrono::steady_clock;

// A server that waits out the query timeout is told to stop by its driver
// and answers the command itself; the watchdog steps in only after this
// much more, for a server that says nothing at all.
constexpr std::chrono::milliseconds grace{500};
// What a driver's timeout leaves the server to say that it cancelled the
// statement before the watchdog steps in. Rounded up, the query timeout of
// a statement begun with 14.3 s left would end 0.2 s after the watchdog
// has cut the connection (and left the server running the statement).
constexpr std::chrono::milliseconds answer_room{250};

// Neither psqlODBC nor MariaDB's driver can be woken while it waits for a
// server that takes connections but never answers (a hung machine, a
// stopped process): libpq waits for a reply without limit, and MariaDB's
// client, read timeout or not, waits for the greeting of a connection. So
// when a command outlives its deadline, a thread of the wrapper's own shuts
// down the reading side of the process's database sockets under the driver:
// its wait ends as if the server had closed the connection, the command
// fails, and the next one connects afresh. Only reading is shut down, so
// that a driver that still writes (a goodbye on disconnect) meets no broken
// pipe. Sockets the process held before its first connection (a mail server
// may hand over a socket as standard input) are never touched.
class watchdog {
public:
    void arm(clock_type::time_point deadline) {
        bool wake = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!thread_.joinable() && !unable_) {
                for (int fd : sockets()) {
                    struct stat st;
                    if (::fstat(fd, &st) == 0) keep_.push_back(st.st_ino);
                }
                // Without a thread (the process may start no more) the
                // drivers' own timeouts are all there is.
                try {
                    thread_ = std::thread([this] { run(); });
                } catch (const std::system_error&) {
                    unable_ = true;
                }
            }
            due_ = deadline + grace;
            armed_ = true;
            ++generation_;
            wake = parked_;
        }
        // A thread already waiting for an earlier deadline finds the new one
        // when it wakes; only a parked one needs the call.
        if (wake) wake_.notify_one();
    }

    void disarm() {
        std::lock_guard<std::mutex> lock(mutex_);
        armed_ = false;
    }

    // A driver's timeout that ends after the deadline's grace (less than a
    // second was left) is waited for until `until`.
    void wait_for_driver(clock_type::time_point until) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (until > due_) due_ = until;
    }

    bool cut() {
        std::lock_guard<std::mutex> lock(mutex_);
        return armed_ && cut_generation_ == generation_;
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (!armed_ || cut_generation_ == generation_) {
                parked_ = true;
                wake_.wait(lock);
                parked_ = false;
                continue;
            }
            const clock_type::time_point due = due_;
            if (clock_type::now() < due) {
                wake_.wait_until(lock, due);
                continue;
            }
            for (int fd : sockets())
                if (!kept(fd)) ::shutdown(fd, SHUT_RD);
            cut_generation_ = generation_;
        }
    }

    bool kept(int fd) const {
        struct stat st;
        if (::fstat(fd, &st) != 0) return true;
        return std::find(keep_.begin(), keep_.end(), st.st_ino) != keep_.end();
    }

    // The open socket descriptors of the process. Those to keep are known
    // by inode, since a descriptor's number may be taken again by another.
    std::vector<int> sockets() const;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::thread thread_;
    bool parked_ = false, armed_ = false, unable_ = false;
    // When the watchdog steps in: half a second after the deadline, or
    // when a driver's timeout that ends later has ended.
    clock_type::time_point due_;
    unsigned generation_ = 0, cut_generation_ = ~0u;
    std::vector<ino_t> keep_;
};

std::vector<int> watchdog::sockets() const {
    std::vector<int> out;
    auto take = [&](int fd) {
        struct stat st;
        if (::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode)) out.push_back(fd);
    };
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        const int own = ::dirfd(dir);
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
            const int fd = std::atoi(entry->d_name);
            if (fd != own) take(fd);
        }
        ::closedir(dir);
        return out;
    }
    const long most = std::min(::sysconf(_SC_OPEN_MAX), 65536L);
    for (int fd = 0; fd < most; ++fd) take(fd);
    return out;
}

// Never destroyed: its thread waits on it until the process ends, and a
// deadline may still end during the destruction of other statics.
watchdog& the_watchdog() {
    static watchdog* dog = new watchdog;
    return *dog;
}

struct {
    bool running = false;
    clock_type::time_point end;
} current;

}  // namespace

db_command_deadline::db_command_deadline() : owner_(!current.running) {
    if (!owner_) return;
    current.running = true;
    current.end = clock_type::now() + command_deadline::length;
    the_watchdog().arm(current.end);
}

db_command_deadline::~db_command_deadline() {
    if (!owner_) return;
    // Counted here, on the main thread: the watchdog's thread bumps no counter.
    // The coarse clock (a few milliseconds behind) is close enough for a
    // count, at a tenth of the precise one's cost on every command.
    timespec coarse{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &coarse);
    const clock_type::time_point now(std::chrono::seconds(coarse.tv_sec) +
                                     std::chrono::nanoseconds(coarse.tv_nsec));
    if (now >= current.end) {
        ++process_stats.deadlines_passed;
        if (command_deadline::cut()) ++process_stats.deadline_cuts;
    }
    current.running = false;
    the_watchdog().disarm();
}

namespace command_deadline {

bool running() { return current.running; }

bool passed() { return current.running && clock_type::now() >= current.end; }

long left_ms() {
    if (!current.running) return std::chrono::milliseconds(length).count();
    const auto left = current.end - clock_type::now();
    return std::max<long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(left).count());
}

unsigned left_seconds(long less_ms) {
    const long room = left_ms() - less_ms + (grace - answer_room).count();
    if (room >= 1000) return static_cast<unsigned>(room / 1000);
    if (current.running)
        the_watchdog().wait_for_driver(clock_type::now() + std::chrono::seconds(1) + answer_room);
    return 1;
}

bool cut() { return current.running && the_watchdog().cut(); }

namespace {
std::optional<db_command_deadline> query_deadline;
}  // namespace

void begin_query() {
    query_deadline.reset();
    if (!current.running) query_deadline.emplace();
}

void end_query() { query_deadline.reset(); }

}  // namespace command_deadline
