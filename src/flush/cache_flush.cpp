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

// A file at generation 0, made under another name and moved into place
// whole: in place of a broken one (`replace`), or only where none is.
bool place_new_file(const std::string& path, bool replace, std::string& error) {
    const std::string temp = path + "." + std::to_string(::getpid()) + ".new";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = failed(temp, errno);
        return false;
    }
    char bytes[file_size] = {};
    std::memcpy(bytes, file_magic, sizeof file_magic);
    // Readable by the mail server's user whatever the umask of the writer.
    bool made = ::fchmod(fd, 0644) == 0 && write_at(fd, bytes, sizeof bytes, 0);
    made = ::close(fd) == 0 && made;
    if (made && replace) {
        made = ::rename(temp.c_str(), path.c_str()) == 0;
    } else if (made) {
        made = ::link(temp.c_str(), path.c_str()) == 0 || errno == EEXIST;
    }
    const int why = errno;
    ::unlink(temp.c_str());
    if (!made) error = failed(path, why);
    return made;
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
        const std::string folder = path.substr(0, slash);
        if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
            error = failed(folder, errno);
            return false;
        }
    }
    const flush_record record{0, user ? flush_user_hash(*user) : 0};
    // Another writer may make or replace the file meanwhile: the file
    // written is the one found at the path once its lock is held.
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            if (errno != ENOENT) {
                error = failed(path, errno);
                return false;
            }
            if (!place_new_file(path, false, error)) return false;
            continue;
        }
        struct stat held, there;
        file_header header{};
        bool same = ::flock(fd, LOCK_EX) == 0 && ::fstat(fd, &held) == 0 &&
                    ::stat(path.c_str(), &there) == 0 && held.st_dev == there.st_dev &&
                    held.st_ino == there.st_ino;
        if (!same) {
            ::close(fd);
            continue;
        }
        if (held.st_size < static_cast<off_t>(file_size) ||
            !read_at(fd, &header, sizeof header, 0) || !valid(header)) {
            ::close(fd);
            if (!place_new_file(path, true, error)) return false;
            continue;
        }
        flush_record next = record;
        next.generation = header.generation + 1;
        const bool written =
            write_at(fd, &next, sizeof next,
                     ring_at + static_cast<off_t>((next.generation % ring) * sizeof next)) &&
            write_at(fd, &next.generation, sizeof next.generation,
                     offsetof(file_header, generation));
        const int why = errno;
        ::close(fd);
        if (!written) error = failed(path, why);
        return written;
    }
    error = path + ": replaced again and again by others meanwhile";
    return false;
}

flush_follower::flush_follower(std::string path, flush_clock::time_point now)
    : path_(std::move(path)), next_look_(now + flush_look_interval) {
    open_file(false);
}

flush_follower::~flush_follower() {
    if (fd_ >= 0) ::close(fd_);
}

// The records of a file met after start are all news: each may have been
// written since, and dropping an entry is never wrong.
bool flush_follower::open_file(bool replay) {
    int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        const int why = errno;
        if (fd >= 0) ::close(fd);
        if (why != ENOENT && why != reported_)
            error_log("Cache flushes cannot be followed (%s: %s)", path_.c_str(),
                      std::strerror(why));
        reported_ = why;
        return false;
    }
    fd_ = fd;
    device_ = st.st_dev;
    inode_ = st.st_ino;
    reported_ = 0;
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
    const bool there = ::stat(path_.c_str(), &st) == 0;
    if (fd_ >= 0) {
        // The open file first: a flush written before it was removed or
        // replaced counts too.
        read_news(news);
        if (there && st.st_dev == device_ && st.st_ino == inode_) return news;
        ::close(fd_);
        fd_ = -1;
    }
    if (there && open_file(true)) read_news(news);
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
