#include "module/auth_module.h"

#include "frontend/front_end.h"

auth_module_table front_end_auth_module() {
    auth_module_table table{};
    table.names = auth_command_names;
    table.help = print_help;
    return table;
}

auth_module_table auth_module = front_end_auth_module();
