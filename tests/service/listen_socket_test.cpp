// The sockets the service makes: what may be in the way at the path (a link
// is replaced and never followed), and the owner and mode each reaches.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "service/listen_socket.h"

namespace {

class folder {
public:
    folder() {
        path_ = ::testing::TempDir() + "/listen-XXXXXX";
        if (!::mkdtemp(&path_[0])) path_.clear();
    }
    ~folder() { std::filesystem::remove_all(path_); }
    const std::string& path() const { return path_; }
    std::vector<std::string> names() const {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(path_))
            found.push_back(entry.path().filename());
        return found;
    }

private:
    std::string path_;
};

// A socket bound at `path`, listening or not; its descriptor.
int bound_socket(const std::string& path, bool listening) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
    if (listening) ::listen(fd, 1);
    return fd;
}

TEST(ListenSocket, WhatIsInTheWay) {
    struct row {
        const char* what;
        // Puts something at the socket's path; the target outside the folder.
        std::function<int(const std::string& path, const std::string& target)> plant;
        std::string error;  // "" when the socket is made
    };
    const std::vector<row> rows = {
        {"nothing", [](const std::string&, const std::string&) { return -1; }, ""},
        {"a stale socket",
         [](const std::string& path, const std::string&) {
             ::close(bound_socket(path, false));
             return -1;
         },
         ""},
        {"a link to a file",
         [](const std::string& path, const std::string& target) {
             std::ofstream(target) << "kept";
             ::chmod(target.c_str(), 0600);
             return ::symlink(target.c_str(), path.c_str()) == 0 ? -1 : -2;
         },
         ""},
        {"a link to nothing",
         [](const std::string& path, const std::string& target) {
             return ::symlink(target.c_str(), path.c_str()) == 0 ? -1 : -2;
         },
         ""},
        {"a file",
         [](const std::string& path, const std::string&) {
             std::ofstream(path) << "x";
             return -1;
         },
         "a file that is no socket is in the way"},
        {"a socket served",
         [](const std::string& path, const std::string&) { return bound_socket(path, true); },
         "another process serves this socket"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        folder place, outside;
        const std::string path = place.path() + "/auth";
        const std::string target = outside.path() + "/target";
        const int held = r.plant(path, target);
        ASSERT_NE(held, -2);
        service_settings settings;
        settings.socket_mode = 0666;
        listen_socket made;
        std::string error;
        const bool ok = make_listen_socket(path, service_protocol::auth, settings, made, error);
        EXPECT_EQ(ok ? "" : error, r.error);
        if (held >= 0) ::close(held);
        // Nothing left beside it, and what a link named is as it was.
        EXPECT_EQ(place.names(), std::vector<std::string>{"auth"});
        struct stat info;
        if (r.error.empty() && ::lstat(target.c_str(), &info) == 0) {
            EXPECT_EQ(info.st_mode & 07777, 0600u);
            EXPECT_EQ(std::filesystem::file_size(target), 4u);
        } else if (r.error.empty()) {
            EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(target)));
        }
        if (!ok) continue;
        ASSERT_EQ(::lstat(path.c_str(), &info), 0);
        EXPECT_TRUE(S_ISSOCK(info.st_mode));
        EXPECT_EQ(info.st_mode & 07777, 0666u);
        ::close(made.fd);
    }
}

TEST(ListenSocket, OwnerAndMode) {
    struct row {
        unsigned mode;
        const char *user, *group;  // nullptr: the process's own
    };
    std::vector<row> rows = {{0600, nullptr, nullptr},
                             {0660, nullptr, nullptr},
                             {0666, nullptr, nullptr},
                             {0640, nullptr, nullptr}};
    // Another owner and group: only root can give them.
    if (::geteuid() == 0 && ::getpwnam("nobody") && ::getgrnam("nogroup")) {
        rows.push_back({0660, "nobody", "nogroup"});
        rows.push_back({0606, nullptr, "nogroup"});
        rows.push_back({0600, "nobody", nullptr});
    }
    folder place;
    // A path whose private folder beside it is too long for an address.
    const std::string deep = place.path() + "/" + std::string(100 - place.path().size(), 'd');
    ASSERT_EQ(::mkdir(deep.c_str(), 0700), 0);
    for (const std::string& path : {place.path() + "/auth", deep + "/s"}) {
        for (const row& r : rows) {
            SCOPED_TRACE(path + " " + std::to_string(r.mode));
            service_settings settings;
            settings.socket_mode = r.mode;
            if (r.user) settings.socket_user = r.user;
            if (r.group) settings.socket_group = r.group;
            listen_socket made;
            std::string error;
            ASSERT_TRUE(make_listen_socket(path, service_protocol::auth, settings, made, error))
                << error;
            struct stat info;
            ASSERT_EQ(::lstat(path.c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 07777, r.mode);
            EXPECT_EQ(info.st_uid, r.user ? ::getpwnam(r.user)->pw_uid : ::geteuid());
            EXPECT_EQ(info.st_gid, r.group ? ::getgrnam(r.group)->gr_gid : ::getegid());
            ::close(made.fd);
            ::unlink(path.c_str());
        }
    }
}

}  // namespace
