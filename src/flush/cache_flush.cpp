#include "flush/cache_flush.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <ctime>

#include "config/log.h"
#include "config/shared_folder.h"
#include "shared_state/shared_state.h"

namespace {

// The file: a header, then a ring of the latest records. A record counts
// once the header's generation has reached it, and the header is written
// after the record, so a writer that dies in between leaves nothing half
// done: the next one takes the same generation again.
constexpr char file_magic[8] = {'Q', 'M', 'F', 'L', 'U', 'S', 'H', '1'};
constexpr std::size_t ring = 64;

struct file_header {
    char magic[8];
    std::uint64_t generation;
};
struct flush_record {
    std::uint64_t generation;
    std::uint64_t user;  // flush_user_hash, 0 for every entry
};
constexpr off_t ring_at = sizeof(file_header);
constexpr std::size_t file_size = sizeof(file_header) + ring * sizeof(flush_record);

// Fixed and public: every process must name a user alike. A name chosen
// to collide with another only drops one more entry.
constexpr unsigned char hash_key[16] = {'q', 'u', 'i', 'l', 'l', 'm', 'a', 'r',
                                        '-', 'f', 'l', 'u', 's', 'h', '-', '1'};
static_assert(sizeof hash_key == crypto_shorthash_KEYBYTES);

bool read_at(int fd, void* to, std::size_t size, off_t at) {
    ssize_t got;
    do got = ::pread(fd, to, size, at);
    while (got < 0 && errno == EINTR);
    return got == static_cast<ssize_t>(size);
}

bool write_at(int fd, const void* from, std::size_t size, off_t at) {
    ssize_t put;
    do put = ::pwrite(fd, from, size, at);
    while (put < 0 && errno == EINTR);
    return put == static_cast<ssize_t>(size);
}

bool valid(const file_header& header) {
    return std::memcmp(header.magic, file_magic, sizeof file_magic) == 0;
}

std::string failed(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

// Readable by the folder's group alone (the mail server's, or the
// service's), whatever the writer's umask: the records tell which users'
// passwords were just changed, and the hash of a name is no secret from
// whoever can guess it. Root, or a writer in that group, gives the file the
// folder's group; another writer's file keeps its own (false then, and
// nothing more to do about it).
bool restrict_access(int fd, const shared_folder& folder) {
    const bool mode = ::fchmod(fd, 0640) == 0;
    return ::fchown(fd, static_cast<uid_t>(-1), folder.group()) == 0 && mode;
}

// A file at generation 0, made under a random name and moved into place
// whole: in place of whatever is at the name (`replace`: a broken file, a
// link, another user's file), or only where nothing is.
bool place_new_file(const shared_folder& folder, const std::string& name, bool replace,
                    std::string& error) {
    new_file file = folder.make(name, 0640, error);
    if (!file) return false;
    restrict_access(file.fd(), folder);
    char bytes[file_size] = {};
    std::memcpy(bytes, file_magic, sizeof file_magic);
    if (!write_at(file.fd(), bytes, sizeof bytes, 0)) {
        error = failed(folder.path() + "/" + file.name(), errno);
        return false;
    }
    return file.place(name, replace, error);
}

}  // namespace

std::uint64_t flush_user_hash(std::string_view user) {
    while (!user.empty() && user.back() == ' ') user.remove_suffix(1);
    std::string folded(user);
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    unsigned char out[crypto_shorthash_BYTES];
    crypto_shorthash(out, reinterpret_cast<const unsigned char*>(folded.data()), folded.size(),
                     hash_key);
    std::uint64_t hash = 0;
    for (unsigned char byte : out) hash = hash << 8 | byte;
    return hash ? hash : 1;
}

std::chrono::milliseconds flush_settle_time() {
    timespec resolution{0, 10'000'000};
    ::clock_getres(CLOCK_MONOTONIC_COARSE, &resolution);
    const auto lag =
        std::chrono::seconds(resolution.tv_sec) + std::chrono::nanoseconds(resolution.tv_nsec);
    return flush_look_interval + std::chrono::ceil<std::chrono::milliseconds>(2 * lag) +
           std::chrono::milliseconds(5);
}

bool write_cache_flush(const std::string& path, const std::optional<std::string>& user,
                       std::string& error) {
    const std::size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        const std::string parent = path.substr(0, slash);
        if (::mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) {
            error = failed(parent, errno);
            return false;
        }
    }
    const shared_folder folder(folder_of_path(path));
    if (!folder.open()) {
        error = folder.why();
        return false;
    }
    const std::string name = name_in_path(path);
    const flush_record record{0, user ? flush_user_hash(*user) : 0};
    // Another writer may make or replace the file meanwhile: the file
    // written is the one found at the name once its lock is held.
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string problem;
        struct stat held {};
        owned_fd fd = folder.open_trusted(name, O_RDWR, problem, &held);
        if (!fd) {
            // Missing, or nothing to write through: made anew in its place.
            const int why = errno;
            if (why != ENOENT && why != EPERM) {
                error = problem;
                return false;
            }
            if (!place_new_file(folder, name, why == EPERM, error)) return false;
            continue;
        }
        struct stat there {};
        file_header header{};
        const bool same = ::flock(fd.get(), LOCK_EX) == 0 &&
                          ::fstatat(folder.fd(), name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
                          held.st_dev == there.st_dev && held.st_ino == there.st_ino;
        if (!same) continue;
        // A file of an earlier version was readable by every user, who may
        // hold it open: its records go to a new one.
        if (held.st_size < static_cast<off_t>(file_size) || (held.st_mode & S_IRWXO) ||
            !read_at(fd.get(), &header, sizeof header, 0) || !valid(header)) {
            if (!place_new_file(folder, name, true, error)) return false;
            continue;
        }
        if ((held.st_mode & 07777) != 0640 || held.st_gid != folder.group())
            restrict_access(fd.get(), folder);
        flush_record next = record;
        next.generation = header.generation + 1;
        const bool written =
            write_at(fd.get(), &next, sizeof next,
                     ring_at + static_cast<off_t>((next.generation % ring) * sizeof next)) &&
            write_at(fd.get(), &next.generation, sizeof next.generation,
                     offsetof(file_header, generation));
        if (!written) error = failed(path, errno);
        return written;
    }
    error = path + ": replaced again and again by others meanwhile";
    return false;
}

shared_flush write_shared_flush(const std::optional<std::string>& user, std::string& error) {
    shared_state* shared = shared_state_of_process();
    if (!shared) {
        if (!shared_state_settings().wanted()) return shared_flush::off;
        error = "the shared state cannot be used (see the lines above)";
        return shared_flush::failed;
    }
    return shared->write_flush(user ? flush_user_hash(*user) : 0, error) ? shared_flush::written
                                                                         : shared_flush::failed;
}

flush_follower::flush_follower(std::string path, flush_clock::time_point now)
    : path_(std::move(path)),
      shared_(shared_state_of_process()),
      next_look_(now + flush_look_interval) {
    open_file(false);
    if (shared_) shared_->look_flushes(true);
}

flush_follower::~flush_follower() {
    if (fd_ >= 0) ::close(fd_);
}

// The records of a file met after start are all news: each may have been
// written since, and dropping an entry is never wrong.
bool flush_follower::open_file(bool replay) {
    const shared_folder folder(folder_of_path(path_));
    std::string problem;
    struct stat st {};
    owned_fd fd;
    if (folder.open())
        fd = folder.open_trusted(name_in_path(path_), O_RDONLY, problem, &st);
    else if (folder.failure() != ENOENT)
        problem = folder.why();
    if (!fd) {
        if (!problem.empty() && problem != reported_)
            error_log("Cache flushes cannot be followed (%s)", problem.c_str());
        reported_ = problem;
        return false;
    }
    fd_ = fd.release();
    device_ = st.st_dev;
    inode_ = st.st_ino;
    reported_.clear();
    seen_ = 0;
    file_header header{};
    if (!replay && read_at(fd_, &header, sizeof header, 0) && valid(header))
        seen_ = header.generation;
    return true;
}

flush_news flush_follower::look(flush_clock::time_point now) {
    next_look_ = now + flush_look_interval;
    flush_news news;
    struct stat st;
    const bool there = ::lstat(path_.c_str(), &st) == 0;
    if (fd_ >= 0) {
        // The open file first: a flush written before it was removed or
        // replaced counts too.
        read_news(news);
        if (!there || st.st_dev != device_ || st.st_ino != inode_) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    if (fd_ < 0 && there && open_file(true)) read_news(news);
    if (shared_) {
        // The same flush may come by both ways: dropping twice is harmless.
        if (std::optional<shared_state::flush_look> shared = shared_->look_flushes()) {
            news.all = news.all || shared->all;
            news.users.insert(news.users.end(), shared->users.begin(), shared->users.end());
        }
    }
    return news;
}

void flush_follower::read_news(flush_news& news) {
    file_header header{};
    // A file that is no flush file tells nothing until a flush replaces it.
    if (!read_at(fd_, &header, sizeof header, 0) || !valid(header)) return;
    const std::uint64_t latest = header.generation;
    if (latest == seen_) return;
    flush_record records[ring];
    // Records past the ring are lost, and one a writer may be overwriting
    // while they are read cannot be trusted: the header read again says
    // whether any was.
    file_header again{};
    if (latest < seen_ || latest - seen_ >= ring ||
        !read_at(fd_, records, sizeof records, ring_at) || !read_at(fd_, &again, sizeof again, 0) ||
        !valid(again) || again.generation - seen_ >= ring) {
        news.all = true;
        seen_ = valid(again) ? again.generation : latest;
        return;
    }
    for (std::uint64_t g = seen_ + 1; g <= latest; ++g) {
        const flush_record& r = records[g % ring];
        if (r.generation != g || r.user == 0) {
            news.all = true;
            break;
        }
        news.users.push_back(r.user);
    }
    seen_ = latest;
}
