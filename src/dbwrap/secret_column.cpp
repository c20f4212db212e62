#include "dbwrap/secret_column.h"

#include "dbwrap/db_value_text.h"

namespace {

std::optional<std::size_t> secret_position;

}  // namespace

void db_set_secret_column(std::optional<std::size_t> position) { secret_position = position; }

std::string db_shown_value(std::size_t position, const std::string& value) {
    // The same mask for every value, an empty one included, so that the line
    // tells nothing of the value's length either.
    return secret_position == position ? std::string("xxxx") : db_shown_text(value);
}
