// Process entry of the authenticator: picks the back end, then hands over to
// the front end.
#include "directory/directory.h"
#include "frontend/front_end.h"

int main(int argc, char** argv) {
    auth_module = directory_auth_module(front_end_auth_module());
    return quillmar_main(argc, argv);
}
