#include "service/listen_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
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
    case service_protocol::http:
        return "http";
    case service_protocol::saslauthd:
        break;
    }
    return "saslauthd";
}

namespace {

bool tcp_address(const std::string& text, sockaddr_storage& address, socklen_t& length,
                 std::string& error) {
    std::string host, port;
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find("]:");
        if (close == std::string::npos) {
            error = "an IPv6 address is written [address]:port";
            return false;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string::npos) {
            error = "neither an absolute socket path nor address:port";
            return false;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    const std::optional<long long> number = read_number(port, number_form::digits, 1, 65535);
    if (!number) {
        error = "the port is no number from 1 to 65535";
        return false;
    }
    address = sockaddr_storage{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<std::uint16_t>(*number));
        length = sizeof *v4;
        return true;
    }
    if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<std::uint16_t>(*number));
        length = sizeof *v6;
        return true;
    }
    error = "'" + host + "' is no IP address";
    return false;
}

}  // namespace

bool tcp_listen_address(const std::string& text, std::string& error) {
    sockaddr_storage address;
    socklen_t length = 0;
    return tcp_address(text, address, length, error);
}

bool make_tcp_listen_socket(const std::string& text, service_protocol protocol, listen_socket& made,
                            std::string& error) {
    sockaddr_storage address;
    socklen_t length = 0;
    if (!tcp_address(text, address, length, error)) return false;
    const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        error = std::strerror(errno);
        ::close(fd);
        return false;
    }
    made.fd = fd;
    made.protocol = protocol;
    made.path = text;
    made.made = false;  // nothing to remove at the end
    return true;
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
        const bool named =
            name == "auth" || name == "socketmap" || name == "http" || name == "saslauthd";
        auto is = [&](const char* protocol, const std::optional<std::string>& path) {
            return named ? name == protocol : path && handed.path == *path;
        };
        if (is("auth", settings.listen_auth)) {
            handed.protocol = service_protocol::auth;
        } else if (is("socketmap", settings.listen_socketmap)) {
            handed.protocol = service_protocol::socketmap;
        } else if (is("http", settings.listen_http)) {
            handed.protocol = service_protocol::http;
        } else if (is("saslauthd", settings.listen_saslauthd)) {
            handed.protocol = service_protocol::saslauthd;
        } else {
            error_log(
                "Service: socket %d from systemd (name '%s', path '%s') is none of auth, "
                "socketmap, http, saslauthd: closed",
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

namespace {

// A folder of our own beside the socket's path, made under a random name;
// removed with what is left in it when it goes.
class private_folder {
public:
    explicit private_folder(const std::string& beside) {
        std::string pattern = beside + "/.quillmar-XXXXXX";
        if (!::mkdtemp(&pattern[0])) return;
        path_ = pattern;
        fd_ = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat info;
        // Ours and closed to everyone else, an ACL's mask included; or not used.
        if (fd_ < 0 || ::fstat(fd_, &info) != 0 || info.st_uid != ::geteuid() ||
            ::fchmod(fd_, 0700) != 0) {
            const int saved = errno;
            release();
            errno = saved;
        }
    }
    ~private_folder() { release(); }
    private_folder(const private_folder&) = delete;
    private_folder& operator=(const private_folder&) = delete;

    bool made() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // The address the socket is bound to: through the folder's path, or,
    // when that is too long for an address, through the descriptor.
    bool address(sockaddr_un& address) const {
        return fill_address(path_ + "/" + name, address) ||
               fill_address("/proc/self/fd/" + std::to_string(fd_) + "/" + name, address);
    }

    static constexpr const char* name = "socket";

private:
    void release() {
        if (fd_ >= 0) {
            ::unlinkat(fd_, name, 0);
            ::close(fd_);
        }
        if (!path_.empty()) ::rmdir(path_.c_str());
        fd_ = -1;
        path_.clear();
    }

    std::string path_;
    int fd_ = -1;
};

}  // namespace

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
    // A stale socket, or a link (never followed), is replaced by the rename
    // below; anything else there was not put there by a service.
    struct stat info;
    if (::lstat(path.c_str(), &info) == 0 && !S_ISLNK(info.st_mode)) {
        if (!S_ISSOCK(info.st_mode)) {
            error = "a file that is no socket is in the way";
            return false;
        }
        if (answered(address)) {
            error = "another process serves this socket";
            return false;
        }
    }
    // The socket gets its owner and mode where no one else can reach it, and
    // only then its name: chown and chmod on the name itself would follow
    // whatever another writer of the folder put there meanwhile, and fchmod
    // on the socket's descriptor does not reach the file at all.
    const std::size_t slash = path.rfind('/');
    private_folder folder(slash == 0 ? "" : path.substr(0, slash));
    sockaddr_un private_address;
    if (!folder.made() || !folder.address(private_address)) {
        error = std::string("cannot make a private folder beside it: ") + std::strerror(errno);
        return false;
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    const mode_t old_mask = ::umask(0177);
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&private_address),
                              sizeof private_address) == 0;
    const int bind_error = errno;
    ::umask(old_mask);
    // The socket must be the one in the folder held open: a folder renamed
    // and replaced under its path took the bind elsewhere.
    if (!bound) {
        error = std::strerror(bind_error);
    } else if (::fstatat(folder.fd(), private_folder::name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
               !S_ISSOCK(info.st_mode)) {
        error = "the private folder beside it was replaced while the socket was made";
    } else if ((uid != static_cast<uid_t>(-1) || gid != static_cast<gid_t>(-1)) &&
               ::fchownat(folder.fd(), private_folder::name, uid, gid, AT_SYMLINK_NOFOLLOW) != 0) {
        error = std::string("cannot set its owner: ") + std::strerror(errno);
    } else if (::fchmodat(folder.fd(), private_folder::name, settings.socket_mode, 0) != 0) {
        error = std::string("cannot set its mode: ") + std::strerror(errno);
    } else if (::listen(fd, SOMAXCONN) != 0) {
        error = std::strerror(errno);
    } else if (::renameat(folder.fd(), private_folder::name, AT_FDCWD, path.c_str()) != 0) {
        error = std::string("cannot put it in place: ") + std::strerror(errno);
    } else {
        made.fd = fd;
        made.protocol = protocol;
        made.path = path;
        made.made = true;
        return true;
    }
    ::close(fd);
    return false;
}
