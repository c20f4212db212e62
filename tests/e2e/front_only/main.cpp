// The authenticator with no back end linked in: the module table holds only
// the help slot, so the tests see every answer the front end gives for an
// absent entry point, whatever back end the real binary carries.
#include "frontend/front_end.h"

int main(int argc, char** argv) {
    auth_module = front_end_auth_module();
    return quillmar_main(argc, argv);
}
