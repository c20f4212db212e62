#include "stats/stats_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "config/log.h"
#include "config/number_text.h"
#include "stats/counters.h"
#include "stats/exposition.h"

stats_clock::time_point stats_next_write = stats_clock::time_point::max();
bool stats_unwritten = false;

namespace {

const char retired_name[] = "retired.txt";

struct {
    bool started = false;
    std::string folder, name;
    stats_clock::duration interval{};
    // The last write failed: said once, and once more when one succeeds.
    bool failing = false;
} own;

bool read_file(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return true;
}

// Whole or not at all: a reader finds the last complete file, never a
// half-written one.
bool write_file(const std::string& folder, const std::string& name, const std::string& text,
                std::string& error) {
    const std::string path = folder + "/" + name, temp = folder + "/." + name + ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = temp + ": " + std::strerror(errno);
        return false;
    }
    std::size_t done = 0;
    int failure = 0;
    while (done < text.size() && !failure) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            failure = n < 0 ? errno : EIO;
        else
            done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 && !failure) failure = errno;
    if (!failure && ::rename(temp.c_str(), path.c_str()) != 0) failure = errno;
    if (!failure) return true;
    error = path + ": " + std::strerror(failure);
    ::unlink(temp.c_str());
    return false;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// The folder's lock, held while files are counted or folded.
class folder_lock {
public:
    folder_lock(const std::string& folder, int kind, std::chrono::milliseconds patience) {
        fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0) {
            failure_ = errno;
            return;
        }
        const auto until = stats_clock::now() + patience;
        while (::flock(fd_, kind | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                failure_ = errno;
                return;
            }
            if (stats_clock::now() >= until) {
                failure_ = EWOULDBLOCK;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        held_ = true;
    }
    ~folder_lock() {
        if (fd_ >= 0) ::close(fd_);
    }
    folder_lock(const folder_lock&) = delete;
    folder_lock& operator=(const folder_lock&) = delete;
    bool held() const { return held_; }
    std::string why() const {
        return failure_ == EWOULDBLOCK ? "locked by another process" : std::strerror(failure_);
    }

private:
    int fd_ = -1, failure_ = 0;
    bool held_ = false;
};

// pid and start time from "process-<pid>-<start>.txt"; false for any other name.
bool process_file(const std::string& name, long& pid, unsigned long long& start) {
    const std::string_view head = "process-", tail = ".txt";
    std::string_view text = name;
    if (text.size() <= head.size() + tail.size() || text.substr(0, head.size()) != head ||
        text.substr(text.size() - tail.size()) != tail)
        return false;
    text = text.substr(head.size(), text.size() - head.size() - tail.size());
    const std::size_t dash = text.find('-');
    if (dash == std::string_view::npos) return false;
    const std::optional<long long> p =
        read_number(text.substr(0, dash), number_form::digits, 1, LONG_MAX);
    const std::optional<long long> s =
        read_number(text.substr(dash + 1), number_form::digits, 0, LLONG_MAX);
    if (!p || !s) return false;
    pid = static_cast<long>(*p);
    start = static_cast<unsigned long long>(*s);
    // One spelling only ("process-07-..." is none), so that no process has two files.
    return stats_file_name(pid, start) == name;
}

// Alive, and the very process that named the file. Without /proc to tell,
// every process counts as alive, and nothing is folded.
bool alive(long pid, unsigned long long start) {
    static const bool proc_tells = process_start_ticks(::getpid()).has_value();
    if (!proc_tells) return true;
    std::optional<unsigned long long> now = process_start_ticks(pid);
    return now && *now == start;
}

// Names the retired counts hold whose files are gone need no keeping.
void drop_gone(exposition& retired, const std::string& folder) {
    std::vector<std::string>& names = retired.absorbed_files();
    names.erase(std::remove_if(names.begin(), names.end(),
                               [&](const std::string& n) { return !exists(folder + "/" + n); }),
                names.end());
}

}  // namespace

std::string stats_file_name(long pid, unsigned long long start) {
    return "process-" + std::to_string(pid) + "-" + std::to_string(start) + ".txt";
}

std::optional<unsigned long long> process_start_ticks(long pid) {
    std::string text;
    if (!read_file("/proc/" + std::to_string(pid) + "/stat", text)) return std::nullopt;
    // The name in parentheses may hold blanks; the fields after it are
    // state (3) onwards, and the start time is field 22.
    std::size_t close = text.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    for (int i = 3; i < 22; ++i) fields >> field;
    if (!(fields >> field)) return std::nullopt;
    const std::optional<long long> start = read_number(field, number_form::digits, 0, LLONG_MAX);
    if (!start) return std::nullopt;
    return static_cast<unsigned long long>(*start);
}

void stats_start(const std::string& folder, std::chrono::seconds interval,
                 stats_clock::time_point now) {
    const long pid = static_cast<long>(::getpid());
    own.started = true;
    own.folder = folder;
    own.name = stats_file_name(pid, process_start_ticks(pid).value_or(0));
    own.interval = interval;
    own.failing = false;
    stats_unwritten = true;
    stats_write_due(now);
}

void stats_write_due(stats_clock::time_point now) {
    if (!own.started) {
        stats_next_write = stats_clock::time_point::max();
        return;
    }
    stats_next_write = now + own.interval;
    std::string error;
    if (write_file(own.folder, own.name, counters_text(process_stats), error)) {
        if (own.failing) error_log("Counters written again to %s", own.folder.c_str());
        own.failing = false;
        stats_unwritten = false;
    } else if (!own.failing) {
        error_log("Counters not written (%s); tried again every stats_interval", error.c_str());
        own.failing = true;
    }
}

stats_clock::time_point stats_idle(stats_clock::time_point now) {
    if (!own.started || !stats_unwritten) return stats_clock::time_point::max();
    if (now < stats_next_write) return stats_next_write;
    stats_write_due(now);
    return stats_unwritten ? stats_next_write : stats_clock::time_point::max();
}

void stats_finish() {
    if (!own.started) return;
    own.started = false;
    stats_next_write = stats_clock::time_point::max();
    stats_unwritten = false;
    const std::string text = counters_text(process_stats);
    std::string error;
    {
        folder_lock lock(own.folder, LOCK_EX, std::chrono::seconds(1));
        if (lock.held()) {
            exposition retired;
            std::string before;
            if (read_file(own.folder + "/" + retired_name, before)) retired.add(before);
            drop_gone(retired, own.folder);
            // Named as held before the file goes, should the process end in between.
            const std::string path = own.folder + "/" + own.name;
            if (exists(path)) retired.absorbed_files().push_back(own.name);
            retired.add(text);
            if (write_file(own.folder, retired_name, retired.text(true), error)) {
                ::unlink(path.c_str());
                return;
            }
        }
    }
    if (!write_file(own.folder, own.name, text, error))
        error_log("Counters not written at exit (%s)", error.c_str());
}

bool stats_sum(const std::string& folder, std::string& text, std::string& error) {
    const bool can_fold = ::faccessat(AT_FDCWD, folder.c_str(), W_OK, AT_EACCESS) == 0;
    folder_lock lock(folder, can_fold ? LOCK_EX : LOCK_SH, std::chrono::seconds(5));
    if (!lock.held()) {
        error = folder + ": " + lock.why();
        return false;
    }
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) {
        error = folder + ": " + std::strerror(errno);
        return false;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) names.emplace_back(entry->d_name);
    ::closedir(dir);
    std::sort(names.begin(), names.end());

    exposition retired, live;
    std::string file_text;
    if (read_file(folder + "/" + retired_name, file_text)) retired.add(file_text);
    std::vector<std::string>& absorbed = retired.absorbed_files();
    const std::vector<std::string> held_before = absorbed;
    std::vector<std::string> folded;
    std::uint64_t alive_count = 0;
    for (const std::string& name : names) {
        long pid = 0;
        unsigned long long start = 0;
        if (!process_file(name, pid, start)) continue;
        const std::string path = folder + "/" + name;
        if (std::find(held_before.begin(), held_before.end(), name) != held_before.end()) {
            if (can_fold) ::unlink(path.c_str());
            continue;
        }
        if (!read_file(path, file_text)) continue;
        if (alive(pid, start)) {
            live.add(file_text);
            ++alive_count;
        } else if (can_fold) {
            retired.add(file_text);
            absorbed.push_back(name);
            folded.push_back(name);
        } else {
            live.add(file_text);
        }
    }
    if (!folded.empty()) {
        drop_gone(retired, folder);
        if (write_file(folder, retired_name, retired.text(true), error)) {
            for (const std::string& name : folded) ::unlink((folder + "/" + name).c_str());
        } else {
            return false;
        }
    }

    // This version's families first, at zero, so that every family shows
    // even before any process has counted it.
    exposition sum;
    sum.add(counters_text(process_counters{}));
    sum.add(retired.text());
    sum.add(live.text());
    sum.set_gauge("quillmar_processes", "Processes alive whose counters are in the sum.",
                  alive_count);
    text = sum.text();
    return true;
}
