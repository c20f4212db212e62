#include "service/listen_socket.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "config/log.h"
#include "config/number_text.h"

namespace {

bool fill_address(const std::string& path, sockaddr_un& address) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Whether a process answers on the socket at `path`.
bool answered(const sockaddr_un& address) {
    int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    bool yes = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    return yes;
}

std::string socket_path_of(int fd) {
    sockaddr_un address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.sun_family != AF_UNIX || length <= offsetof(sockaddr_un, sun_path))
        return "";
    return std::string(address.sun_path,
                       ::strnlen(address.sun_path, length - offsetof(sockaddr_un, sun_path)));
}

}  // namespace

const char* protocol_name(service_protocol protocol) {
    switch (protocol) {
    case service_protocol::auth:
        return "auth";
    case service_protocol::socketmap:
        return "socketmap";
    case service_protocol::saslauthd:
        break;
    }
    return "saslauthd";
}

std::vector<listen_socket> handed_sockets(const service_settings& settings) {
    std::vector<listen_socket> sockets;
    const char* pid = std::getenv("LISTEN_PID");
    const char* count = std::getenv("LISTEN_FDS");
    const std::string names = std::getenv("LISTEN_FDNAMES") ? std::getenv("LISTEN_FDNAMES") : "";
    // systemd writes both as plain digits; anything else is not a hand-over.
    const std::optional<long long> for_pid =
        pid ? read_number(pid, number_form::digits, 1, INT_MAX) : std::nullopt;
    const std::optional<long long> handed_count =
        count ? read_number(count, number_form::digits, 0, INT_MAX) : std::nullopt;
    const bool ours = for_pid && handed_count && *for_pid == ::getpid();
    const int n = ours ? static_cast<int>(*handed_count) : 0;
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    std::size_t at = 0;
    for (int i = 0; i < n && i < 64; ++i) {
        const int fd = 3 + i;
        std::size_t colon = names.find(':', at);
        const std::string name = at <= names.size() ? names.substr(at, colon - at) : "";
        at = colon == std::string::npos ? names.size() + 1 : colon + 1;
        listen_socket handed;
        handed.fd = fd;
        handed.path = socket_path_of(fd);
        // A name systemd gives decides; without one, the path.
        const bool named = name == "auth" || name == "socketmap" || name == "saslauthd";
        auto is = [&](const char* protocol, const std::optional<std::string>& path) {
            return named ? name == protocol : path && handed.path == *path;
        };
        if (is("auth", settings.listen_auth)) {
            handed.protocol = service_protocol::auth;
        } else if (is("socketmap", settings.listen_socketmap)) {
            handed.protocol = service_protocol::socketmap;
        } else if (is("saslauthd", settings.listen_saslauthd)) {
            handed.protocol = service_protocol::saslauthd;
        } else {
            error_log(
                "Service: socket %d from systemd (name '%s', path '%s') is none of auth, "
                "socketmap, saslauthd: closed",
                fd, name.c_str(), handed.path.c_str());
            ::close(fd);
            continue;
        }
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        sockets.push_back(handed);
    }
    return sockets;
}

bool make_listen_socket(const std::string& path, service_protocol protocol,
                        const service_settings& settings, listen_socket& made, std::string& error) {
    sockaddr_un address;
    if (!fill_address(path, address)) {
        error = "the path is empty or too long for a socket";
        return false;
    }
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    if (settings.socket_user) {
        const passwd* user = ::getpwnam(settings.socket_user->c_str());
        if (!user) {
            error = "socket_user " + *settings.socket_user + " is no user of this system";
            return false;
        }
        uid = user->pw_uid;
    }
    if (settings.socket_group) {
        const group* g = ::getgrnam(settings.socket_group->c_str());
        if (!g) {
            error = "socket_group " + *settings.socket_group + " is no group of this system";
            return false;
        }
        gid = g->gr_gid;
    }
    struct stat info;
    if (::lstat(path.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            error = "a file that is no socket is in the way";
            return false;
        }
        if (answered(address)) {
            error = "another process serves this socket";
            return false;
        }
        ::unlink(path.c_str());
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    // Nobody may connect before owner and mode are set.
    const mode_t old_mask = ::umask(0177);
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    const int bind_error = errno;
    ::umask(old_mask);
    if (!bound) {
        error = std::strerror(bind_error);
        ::close(fd);
        return false;
    }
    if ((uid != static_cast<uid_t>(-1) || gid != static_cast<gid_t>(-1)) &&
        ::chown(path.c_str(), uid, gid) != 0) {
        error = std::string("cannot set its owner: ") + std::strerror(errno);
    } else if (::chmod(path.c_str(), settings.socket_mode) != 0) {
        error = std::string("cannot set its mode: ") + std::strerror(errno);
    } else if (::listen(fd, SOMAXCONN) != 0) {
        error = std::strerror(errno);
    } else {
        made.fd = fd;
        made.protocol = protocol;
        made.path = path;
        made.made = true;
        return true;
    }
    ::close(fd);
    ::unlink(path.c_str());
    return false;
}
