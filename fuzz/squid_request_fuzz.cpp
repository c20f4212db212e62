// squid's helper protocol under hostile lines: each line is parsed and
// answered over a scripted back end that accepts one user and password. Any
// line must be answered with exactly one line, after the channel ID it
// carried and only then; a line that is no request is never answered OK;
// OK only ever follows the one right pair, unescaped as squid escapes it.
#include <algorithm>
#include <cstring>

#include "config/globals.h"
#include "fuzz_support.h"
#include "module/auth_module.h"
#include "protocols/squid.h"

namespace {

auth_result record;
bool database_down = false;
bool checked_right = false;

auth_result* scripted_check(command_words& words) {
    checked_right = words[1] == "ali ce" && words[2] == "s%cret";
    if (database_down || !checked_right) return nullptr;
    record.user = *words[1];
    return &record;
}

int scripted_unavailable() { return database_down ? 1 : 0; }

bool digits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    log_path = "/dev/null";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    database_down = data[0] & 1;
    auth_module_table table{};
    table.check = scripted_check;
    table.unavailable = scripted_unavailable;
    for (const std::string& line : fuzz_pieces(data + 1, size - 1, '\n')) {
        std::string unescaped = squid_unescape(line);
        FUZZ_CHECK(unescaped.size() <= line.size(), line);
        FUZZ_CHECK(std::count(unescaped.begin(), unescaped.end(), '\0') ==
                       std::count(line.begin(), line.end(), '\0'),
                   line);

        squid_request request = parse_squid_request(line);
        FUZZ_CHECK(!request.channel || digits(*request.channel), line);
        checked_right = false;
        std::string answer = squid_answer(table, line);
        FUZZ_CHECK(!record.user, "record left filled after: " + line);
        FUZZ_CHECK(!answer.empty() && answer.back() == '\n', line + " -> " + answer);
        FUZZ_CHECK(answer.find('\n') == answer.size() - 1, line + " -> " + answer);
        std::string head = request.channel ? *request.channel + " " : "";
        FUZZ_CHECK(answer.compare(0, head.size(), head) == 0, line + " -> " + answer);
        std::string verdict = answer.substr(head.size());
        bool ok = verdict == "OK\n";
        FUZZ_CHECK(ok || verdict == "ERR\n" || verdict.compare(0, 3, "BH ") == 0,
                   line + " -> " + answer);
        if (ok) {
            FUZZ_CHECK(request.well_formed && checked_right && !database_down, line);
        }
        if (!request.well_formed) {
            FUZZ_CHECK(verdict.compare(0, 3, "BH ") == 0, line + " -> " + answer);
        }
    }
    return 0;
}
