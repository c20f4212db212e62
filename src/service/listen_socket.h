// The sockets the service listens on: Unix sockets it makes at the paths
// the ini file names, with the owner, group and mode it gives, and those
// systemd hands over (LISTEN_FDS), told apart by their names
// (LISTEN_FDNAMES: "auth", "socketmap", "http", "saslauthd") or else by
// their paths.
// nginx's auth_http may also be served on a TCP address ("127.0.0.1:8025",
// "[::1]:8025"): nginx reaches its auth_http server by TCP or a Unix socket.
#pragma once

#include <string>
#include <vector>

#include "service/service_settings.h"

enum class service_protocol { auth, socketmap, http, saslauthd };

struct listen_socket {
    int fd = -1;
    service_protocol protocol = service_protocol::auth;
    std::string path;
    bool made = false;  // made here, and so removed at the end
};

// The sockets systemd handed to this process, each set non-blocking and
// closed on exec; the LISTEN_* variables are removed so that no child
// takes them for its own. One that is no protocol's is closed with an
// error line.
std::vector<listen_socket> handed_sockets(const service_settings& settings);

// Makes the socket at `path`, with the owner and mode of the settings
// given before it takes the name: a stale socket or a link there is
// replaced (a link is not followed); one that a process still answers on,
// or a file of another kind, is an error. False with the reason in `error`.
bool make_listen_socket(const std::string& path, service_protocol protocol,
                        const service_settings& settings, listen_socket& made, std::string& error);

// "address:port" (an IPv6 address in brackets) read for a TCP listener;
// false with the reason in `error`.
bool tcp_listen_address(const std::string& text, std::string& error);

// Makes a TCP listener on "address:port", SO_REUSEADDR set. False with
// the reason in `error`.
bool make_tcp_listen_socket(const std::string& text, service_protocol protocol, listen_socket& made,
                            std::string& error);

const char* protocol_name(service_protocol protocol);
