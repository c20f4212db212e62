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
#include "config/shared_folder.h"
#include "config/whole_write.h"
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

// A file of the folder, read only when it is one of ours (see
// shared_folder.h); `problem` says why one that is there was not.
bool read_trusted(const shared_folder& folder, const std::string& name, std::string& text,
                  std::string& problem) {
    owned_fd fd = folder.open_trusted(name, O_RDONLY, problem);
    if (!fd) return false;
    text.clear();
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            problem = folder.path() + "/" + name + ": " + std::strerror(errno);
            return false;
        }
        if (n == 0) return true;
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

// Whole or not at all: a reader finds the last complete file, never a
// half-written one. Made under a random name, so that nothing planted in
// the folder is ever opened or written through.
bool write_file(const shared_folder& folder, const std::string& name, const std::string& text,
                std::string& error) {
    if (!folder.open()) {
        error = folder.why();
        return false;
    }
    new_file file = folder.make(name, 0644, error);
    if (!file) return false;
    if (!write_all(file.fd(), text)) {
        error = folder.path() + "/" + name + ": " + std::strerror(errno ? errno : EIO);
        return false;
    }
    return file.place(name, true, error);
}

bool exists(const shared_folder& folder, const std::string& name) {
    struct stat st;
    return ::fstatat(folder.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// The folder's lock, held while files are counted or folded.
class folder_lock {
public:
    folder_lock(const shared_folder& folder, int kind, std::chrono::milliseconds patience) {
        if (!folder.open()) {
            failure_ = folder.failure();
            return;
        }
        const auto until = stats_clock::now() + patience;
        while (::flock(folder.fd(), kind | LOCK_NB) != 0) {
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
        fd_ = folder.fd();
    }
    // The lock goes with the folder's descriptor, which outlives the lock
    // and is used again: it is released here.
    ~folder_lock() {
        if (fd_ >= 0) ::flock(fd_, LOCK_UN);
    }
    folder_lock(const folder_lock&) = delete;
    folder_lock& operator=(const folder_lock&) = delete;
    bool held() const { return fd_ >= 0; }
    std::string why() const {
        return failure_ == EWOULDBLOCK ? "locked by another process" : std::strerror(failure_);
    }

private:
    int fd_ = -1, failure_ = 0;
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
void drop_gone(exposition& retired, const shared_folder& folder) {
    std::vector<std::string>& names = retired.absorbed_files();
    names.erase(std::remove_if(names.begin(), names.end(),
                               [&](const std::string& n) { return !exists(folder, n); }),
                names.end());
}

// A file that is there and not taken: said once per run where it is read.
void skip(const std::string& problem, std::vector<std::string>* skipped) {
    if (problem.empty()) return;
    if (skipped)
        skipped->push_back(problem);
    else
        error_log("Counters: %s", problem.c_str());
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
    if (write_file(shared_folder(own.folder), own.name, counters_text(process_stats), error)) {
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
    const shared_folder folder(own.folder);
    {
        folder_lock lock(folder, LOCK_EX, std::chrono::seconds(1));
        if (lock.held()) {
            exposition retired;
            std::string before, problem;
            if (read_trusted(folder, retired_name, before, problem)) retired.add(before);
            skip(problem, nullptr);
            drop_gone(retired, folder);
            // Named as held before the file goes, should the process end in between.
            if (exists(folder, own.name)) retired.absorbed_files().push_back(own.name);
            retired.add(text);
            if (write_file(folder, retired_name, retired.text(true), error)) {
                ::unlinkat(folder.fd(), own.name.c_str(), 0);
                return;
            }
        }
    }
    if (!write_file(folder, own.name, text, error))
        error_log("Counters not written at exit (%s)", error.c_str());
}

bool stats_sum(const std::string& folder_path, std::string& text, std::string& error,
               std::vector<std::string>* skipped) {
    const shared_folder folder(folder_path);
    const bool can_fold = folder.open() && ::faccessat(folder.fd(), ".", W_OK, AT_EACCESS) == 0;
    folder_lock lock(folder, can_fold ? LOCK_EX : LOCK_SH, std::chrono::seconds(5));
    if (!lock.held()) {
        error = folder_path + ": " + lock.why();
        return false;
    }
    owned_fd listing(::fcntl(folder.fd(), F_DUPFD_CLOEXEC, 0));
    DIR* dir = listing ? ::fdopendir(listing.get()) : nullptr;
    if (!dir) {
        error = folder_path + ": " + std::strerror(errno);
        return false;
    }
    listing.release();  // the listing's now
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) names.emplace_back(entry->d_name);
    ::closedir(dir);
    std::sort(names.begin(), names.end());

    exposition retired, live;
    std::string file_text, problem;
    if (read_trusted(folder, retired_name, file_text, problem)) retired.add(file_text);
    skip(problem, skipped);
    std::vector<std::string>& absorbed = retired.absorbed_files();
    const std::vector<std::string> held_before = absorbed;
    std::vector<std::string> folded;
    std::uint64_t alive_count = 0;
    for (const std::string& name : names) {
        long pid = 0;
        unsigned long long start = 0;
        if (!process_file(name, pid, start)) continue;
        if (std::find(held_before.begin(), held_before.end(), name) != held_before.end()) {
            if (can_fold) ::unlinkat(folder.fd(), name.c_str(), 0);
            continue;
        }
        if (!read_trusted(folder, name, file_text, problem)) {
            skip(problem, skipped);
            continue;
        }
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
            for (const std::string& name : folded) ::unlinkat(folder.fd(), name.c_str(), 0);
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
