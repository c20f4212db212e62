#include "config/shared_folder.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

owned_fd& owned_fd::operator=(owned_fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

int owned_fd::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void owned_fd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

namespace {

std::string failed(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

// Twelve letters and digits: 62^12 names, none of which anyone can know
// before the file is made.
bool random_part(std::string& out) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char bytes[12];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    out.clear();
    for (unsigned char byte : bytes) out += letters[byte % (sizeof letters - 1)];
    return true;
}

}  // namespace

new_file::~new_file() {
    if (fd_ && !name_.empty()) ::unlinkat(folder_, name_.c_str(), 0);
}

new_file::new_file(new_file&& other) noexcept
    : fd_(std::move(other.fd_)),
      folder_(other.folder_),
      folder_path_(std::move(other.folder_path_)),
      name_(std::move(other.name_)) {
    other.name_.clear();
}

bool new_file::place(const std::string& name, bool replace, std::string& error) {
    const std::string path = folder_path_ + "/" + name;
    if (replace) {
        if (::renameat(folder_, name_.c_str(), folder_, name.c_str()) != 0) {
            error = failed(path, errno);
            return false;
        }
        name_.clear();
        return true;
    }
    if (::linkat(folder_, name_.c_str(), folder_, name.c_str(), 0) != 0 && errno != EEXIST) {
        error = failed(path, errno);
        return false;
    }
    return true;
}

shared_folder::shared_folder(std::string path) : path_(std::move(path)) {
    fd_.reset(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat info {};
    if (!fd_ || ::fstat(fd_.get(), &info) != 0) {
        failure_ = errno;
        fd_.reset();
        return;
    }
    owner_ = info.st_uid;
    group_ = info.st_gid;
}

std::string shared_folder::why() const { return failed(path_, failure_); }

bool shared_folder::trusted_owner(uid_t owner) const {
    return owner == 0 || owner == ::geteuid() || owner == owner_;
}

new_file shared_folder::make(const std::string& stem, mode_t mode, std::string& error) const {
    new_file made;
    made.folder_ = fd_.get();
    made.folder_path_ = path_;
    std::string part;
    for (int attempt = 0; attempt < 16; ++attempt) {
        if (!random_part(part)) {
            error = failed("no random name for a file in " + path_, errno);
            return made;
        }
        const std::string name = "." + stem + "." + part;
        made.fd_.reset(::openat(fd_.get(), name.c_str(),
                                O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (!made.fd_ && errno == EEXIST) continue;
        if (!made.fd_) break;
        made.name_ = name;
        return made;
    }
    error = failed(path_ + "/." + stem + ".*", errno);
    return new_file();
}

owned_fd shared_folder::open_trusted(const std::string& name, int flags, std::string& problem,
                                     struct stat* file) const {
    problem.clear();
    const std::string path = path_ + "/" + name;
    owned_fd fd(
        ::openat(fd_.get(), name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info {};
    if (!fd) {
        const int why = errno;
        if (why == ELOOP)
            problem = path + " is a link: not followed";
        else if (why != ENOENT)
            problem = failed(path, why);
        errno = why == ELOOP ? EPERM : why;
        return fd;
    }
    if (::fstat(fd.get(), &info) != 0)
        problem = failed(path, errno);
    else if (!S_ISREG(info.st_mode))
        problem = path + " is not a regular file";
    else if (info.st_nlink != 1)
        problem = path + " has other names (a hard link): not taken";
    else if (!trusted_owner(info.st_uid))
        problem = path + " belongs to " + user_name(info.st_uid) + ": not taken";
    if (!problem.empty()) {
        errno = EPERM;
        return owned_fd();
    }
    if (file) *file = info;
    return fd;
}

std::string folder_of_path(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return path.substr(0, slash == 0 ? 1 : slash);
}

std::string name_in_path(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string user_name(uid_t uid) {
    std::vector<char> buffer(1024);
    passwd entry{}, *found = nullptr;
    while (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    return found ? std::string(found->pw_name) : "uid " + std::to_string(uid);
}

namespace {

std::string group_name(gid_t gid) {
    std::vector<char> buffer(1024);
    group entry{}, *found = nullptr;
    while (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    return found ? std::string(found->gr_name) : "gid " + std::to_string(gid);
}

// Whether a group may hold users besides root and this process's own: root's
// group and the process's own group count as ours when the group file names
// no other member (users whose primary group it is are not listed there, but
// for our own group they are the users we already trust).
bool group_has_others(gid_t gid) {
    if (gid != 0 && gid != ::getegid()) return true;
    std::vector<char> buffer(1024);
    group entry{}, *found = nullptr;
    while (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    const std::string self = user_name(::geteuid());
    for (char** member = found ? found->gr_mem : nullptr; member && *member; ++member)
        if (std::strcmp(*member, "root") != 0 && self != *member) return true;
    return false;
}

}  // namespace

std::string other_writers(const struct stat& info) {
    if (info.st_mode & S_IWOTH) return "every user";
    std::string who;
    auto add = [&](const std::string& one) { who += (who.empty() ? "" : " and ") + one; };
    // An owner may change the mode at will, so owning is writing.
    if (info.st_uid != 0 && info.st_uid != ::geteuid()) add("user " + user_name(info.st_uid));
    if ((info.st_mode & S_IWGRP) && group_has_others(info.st_gid))
        add("group " + group_name(info.st_gid));
    return who;
}

std::string other_writers(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return "";
    return other_writers(info);
}
