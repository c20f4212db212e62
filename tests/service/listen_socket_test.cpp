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
#include <string>
#include <vector>

#include "service/listen_socket.h"

namespace {

namespace fs = std::filesystem;

// A socket bound at `path`; listening, or closed at once (a stale one).
int bound_socket(const std::string& path, bool listening) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
    if (listening && ::listen(fd, 1) == 0) return fd;
    ::close(fd);
    return -1;
}

TEST(ListenSocket, WhatIsInTheWayAndOwnerAndMode) {
    const bool root = ::geteuid() == 0 && ::getpwnam("nobody") && ::getgrnam("nogroup");
    struct row {
        std::string in_the_way;  // link, dangling, stale, file, served or ""
        unsigned mode;
        const char *user, *group;  // nullptr: the process's own
        std::string error;         // "" when the socket is made
    };
    std::vector<row> rows = {
        {"", 0600, nullptr, nullptr, ""},
        {"", 0666, nullptr, nullptr, ""},
        {"stale", 0640, nullptr, nullptr, ""},
        {"link", 0660, nullptr, nullptr, ""},
        {"dangling", 0660, nullptr, nullptr, ""},
        {"file", 0660, nullptr, nullptr, "a file that is no socket is in the way"},
        {"served", 0660, nullptr, nullptr, "another process serves this socket"},
    };
    if (root) {  // only root may give another owner or group
        rows.push_back({"link", 0660, "nobody", "nogroup", ""});
        rows.push_back({"", 0606, nullptr, "nogroup", ""});
    }
    std::string made_here = ::testing::TempDir() + "/listen-XXXXXX";
    ASSERT_TRUE(::mkdtemp(&made_here[0]));
    const fs::path top = made_here;
    // A path whose private folder beside it is too long for an address.
    const fs::path deep = top / std::string(100 - top.string().size(), 'd');
    for (const fs::path& place : {top / "f", deep}) {
        for (const row& r : rows) {
            SCOPED_TRACE(place.string().substr(0, 30) + " " + r.in_the_way);
            fs::create_directories(place);
            const std::string path = place / "s", target = (top / "target").string();
            std::ofstream(target) << "kept";
            fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
            int served = -1;
            if (r.in_the_way == "link") fs::create_symlink(target, path);
            if (r.in_the_way == "dangling") fs::create_symlink(top / "nothing", path);
            if (r.in_the_way == "stale") bound_socket(path, false);
            if (r.in_the_way == "file") std::ofstream(path) << "x";
            if (r.in_the_way == "served") served = bound_socket(path, true);
            service_settings settings;
            settings.socket_mode = r.mode;
            if (r.user) settings.socket_user = r.user;
            if (r.group) settings.socket_group = r.group;
            listen_socket made;
            std::string error;
            const bool ok = make_listen_socket(path, service_protocol::auth, settings, made, error);
            EXPECT_EQ(ok ? "" : error, r.error);
            // Nothing left beside it; what a link named is as it was.
            EXPECT_EQ(std::distance(fs::directory_iterator(place), {}), 1);
            EXPECT_EQ(fs::status(target).permissions(),
                      fs::perms::owner_read | fs::perms::owner_write);
            EXPECT_FALSE(fs::exists(top / "nothing"));
            struct stat info;
            if (ok && ::lstat(path.c_str(), &info) == 0) {
                EXPECT_TRUE(S_ISSOCK(info.st_mode));
                EXPECT_EQ(info.st_mode & 07777, r.mode);
                EXPECT_EQ(info.st_uid, r.user ? ::getpwnam(r.user)->pw_uid : ::geteuid());
                EXPECT_EQ(info.st_gid, r.group ? ::getgrnam(r.group)->gr_gid : ::getegid());
            }
            ::close(made.fd);
            if (served >= 0) ::close(served);
            fs::remove_all(place);
        }
    }
    fs::remove_all(top);
}

}  // namespace
