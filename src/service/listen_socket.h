// The sockets the service listens on: Unix sockets it makes at the paths
// the ini file names, with the owner, group and mode it gives, and those
// systemd hands over (LISTEN_FDS), told apart by their names
// (LISTEN_FDNAMES: "auth", "socketmap", "saslauthd") or else by their paths.
#pragma once

#include <string>
#include <vector>

#include "service/service_settings.h"

enum class service_protocol { auth, socketmap, saslauthd };

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

// Makes the socket at `path`: a stale socket there is replaced, one that a
// process still answers on, or a file of another kind, is an error. False
// with the reason in `error`.
bool make_listen_socket(const std::string& path, service_protocol protocol,
                        const service_settings& settings, listen_socket& made, std::string& error);

const char* protocol_name(service_protocol protocol);
