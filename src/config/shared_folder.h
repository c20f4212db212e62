// Files in folders that other users may write: the counters' folder, the
// flush file's and the throttle table's, which the mail server's user must
// be able to write and root's tools (-stats from cron, -flush after a
// password change) write too. Whoever may write such a folder may plant a
// link there under a name we use, pointing at a file of root's, or a FIFO
// that holds an open for good. So a file made there is made under a random
// name that did not exist (O_EXCL|O_NOFOLLOW on a descriptor of the folder
// held open) and then renamed or linked into place, which replaces the name
// itself and never writes through it; and a file read there is opened
// without following a link, and taken only when it is a regular file with a
// single name whose owner is root, the process's own user, or the folder's
// owner (who may replace any file in it anyway).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>

// One descriptor, closed when it goes.
class owned_fd {
public:
    owned_fd() = default;
    explicit owned_fd(int fd) : fd_(fd) {}
    ~owned_fd() { reset(); }
    owned_fd(owned_fd&& other) noexcept : fd_(other.release()) {}
    owned_fd& operator=(owned_fd&& other) noexcept;
    owned_fd(const owned_fd&) = delete;
    owned_fd& operator=(const owned_fd&) = delete;
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

class shared_folder;

// A file being made under its random name: removed again when it goes
// without having been placed.
class new_file {
public:
    new_file() = default;
    ~new_file();
    new_file(new_file&&) noexcept;
    new_file& operator=(new_file&&) = delete;
    new_file(const new_file&) = delete;
    new_file& operator=(const new_file&) = delete;
    explicit operator bool() const { return static_cast<bool>(fd_); }
    int fd() const { return fd_.get(); }
    const std::string& name() const { return name_; }
    // Puts the file at `name` in the folder: in place of whatever is there
    // (`replace`, a rename), or only where nothing is (a link; true as well
    // when another was first, as the caller reads the name again anyway).
    // False, with the reason in `error`, when it could not.
    bool place(const std::string& name, bool replace, std::string& error);

private:
    friend class shared_folder;
    owned_fd fd_;
    int folder_ = -1;
    std::string folder_path_, name_;
};

class shared_folder {
public:
    // Opens the folder; see open() and failure() for how it went.
    explicit shared_folder(std::string path);
    bool open() const { return static_cast<bool>(fd_); }
    // The errno of a folder that could not be opened, and it in words.
    int failure() const { return failure_; }
    std::string why() const;
    const std::string& path() const { return path_; }
    int fd() const { return fd_.get(); }
    gid_t group() const { return group_; }

    // A new file, opened for reading and writing with `mode` less the
    // umask, under a random name that begins with "." and `stem`. Empty, with the reason in
    // `error`, when none could be made.
    new_file make(const std::string& stem, mode_t mode, std::string& error) const;

    // Opens `name` (O_RDONLY or O_RDWR in `flags`) without following a link
    // and without waiting on a FIFO. Empty when it is missing (errno
    // ENOENT, `problem` empty), is there but not to be trusted (errno
    // EPERM: a link, not a regular file, a hard link, another user's), or
    // could not be opened (its errno); `problem` says why, the path in
    // front. `file` gets what fstat said of a file taken.
    owned_fd open_trusted(const std::string& name, int flags, std::string& problem,
                          struct stat* file = nullptr) const;

    // Whether a file of that owner may be taken.
    bool trusted_owner(uid_t owner) const;

private:
    std::string path_;
    owned_fd fd_;
    int failure_ = 0;
    uid_t owner_ = 0;
    gid_t group_ = 0;
};

// The folder part of a file's path: "." for a bare name, "/" for one at the
// root.
std::string folder_of_path(const std::string& path);
// The file's name without its folder.
std::string name_in_path(const std::string& path);

// Who besides root and the process's own user may write the folder `info`
// describes: "user mail", "group staff", "every user", joined with " and ";
// empty when nobody else. A sticky folder is written by every user all the
// same: others may still make a name we have not made yet.
std::string other_writers(const struct stat& info);

// The same for the folder at `path`, followed if a link; empty too when it
// cannot be looked at (whoever needs it says so on its own).
std::string other_writers(const std::string& path);

// A user's name, or its number when the system knows none.
std::string user_name(uid_t uid);
