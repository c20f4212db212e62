// The row store: the values of the one row a query found, by their position
// in the select list, as the directory reads them to build its answer.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "dbwrap/query_text.h"

using row_value_table = std::array<std::optional<std::string>, max_query_columns>;

// The process's one row store; empty outside a command.
row_value_table& db_row_values();
