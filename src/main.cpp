// The composition root: the only part that knows every other. It fills the
// module table with the directory, hands the front end the protocols besides
// its own line protocol and the service, and starts the front end.
#include "directory/directory.h"
#include "frontend/front_end.h"
#include "protocols/checkpassword.h"
#include "protocols/squid.h"
#include "service/service.h"

int main(int argc, char** argv) {
    auth_module = directory_auth_module(front_end_auth_module());
    front_end_protocols = {
        {"squid", false, serve_squid, nullptr},
        {"checkpassword", true, serve_checkpassword, check_checkpassword},
    };
    static const service_entry service = {service_begin, service_ini_key, serve, service_check};
    front_end_service = &service;
    return quillmar_main(argc, argv);
}
