// Whether a name from outside could be a user at all: no longer than the
// user column holds and a statement's value may be. The column's size comes
// from the catalog once, when first asked, so that only a service that asks
// pays for it.
#include <chrono>

#include "config/ini.h"
#include "config/log.h"
#include "dbwrap/command_deadline.h"
#include "dbwrap/db_query.h"
#include "directory/directory.h"

namespace {

struct {
    bool known = false;
    std::size_t characters = 0;  // 0: the catalog gives no size
    std::chrono::steady_clock::time_point last_try;
    bool tried = false;
} column;

// The catalog is asked again at most every 30 s while it cannot be read
// (the database down): meanwhile only the statement's bound counts.
void learn_column_size() {
    const auto now = std::chrono::steady_clock::now();
    if (column.known || (column.tried && now - column.last_try < std::chrono::seconds(30))) return;
    column.tried = true;
    column.last_try = now;
    db_command_deadline command;
    const std::vector<std::string> statements = directory_statement_texts();
    const column_report report = db_check_columns(statements.back());
    if (!report.failure.empty() || !report.table_found) return;
    column.known = true;
    column.characters = report.key_size;
    debug_log("...User column holds %zu characters (0: not said)", column.characters);
}

// Characters as a UTF-8 text counts them: every byte but a continuation byte.
std::size_t characters_in(const std::string& text) {
    std::size_t count = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) ++count;
    return count;
}

}  // namespace

int directory_name_fits(const std::string& given) {
    std::string name = given;
    if (domain && name.find('@') == std::string::npos) name += "@" + *domain;
    if (name.size() > db_parameter_room()) return 0;
    learn_column_size();
    return column.characters == 0 || characters_in(name) <= column.characters ? 1 : 0;
}

void directory_forget_name_room() { column = {}; }
