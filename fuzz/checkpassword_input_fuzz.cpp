// checkpassword's descriptor 3 and the environment it hands on, under
// hostile bytes. The input is read as a user and a password only when both
// end in a NUL within 512 bytes, and then exactly as they stand; a record
// whose values come from the same bytes (a user table may hold anything)
// gives variables without a control character, USER first and EXTRA naming
// exactly the userdb fields set, or none at all.
#include <algorithm>
#include <set>

#include "fuzz_support.h"
#include "module/auth_module.h"
#include "protocols/checkpassword.h"

namespace {

std::optional<std::string> piece(const std::vector<std::string>& pieces, std::size_t i) {
    if (i >= pieces.size() || pieces[i] == "-") return std::nullopt;
    return pieces[i];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::optional<checkpassword_input> input = parse_checkpassword_input(text);
    std::size_t nuls = std::count(text.begin(), text.end(), '\0');
    if (!input) {
        FUZZ_CHECK(size > checkpassword_input_limit || nuls < 2, text);
    } else {
        FUZZ_CHECK(size <= checkpassword_input_limit, text);
        const std::string head = input->user + '\0' + input->password + '\0';
        FUZZ_CHECK(text.compare(0, head.size(), head) == 0, text);
        FUZZ_CHECK(input->user.find('\0') == std::string::npos, text);
    }

    // The same bytes as a record: user, mail drop and options, cut at '|'.
    std::vector<std::string> pieces = fuzz_pieces(data, size, '|');
    auth_result record;
    record.user = piece(pieces, 0);
    record.maildrop = piece(pieces, 1);
    record.options = piece(pieces, 2);
    long uid = pieces.size() > 3 ? static_cast<long>(pieces[3].size()) : 0;
    std::optional<environment_list> variables = checkpassword_environment(record, uid);
    if (!variables) return 0;
    FUZZ_CHECK(!variables->empty() && (*variables)[0].first == "USER", text);
    FUZZ_CHECK(record.user && (*variables)[0].second == *record.user, text);
    std::set<std::string> fields, named;
    std::string extra;
    for (const auto& [name, value] : *variables) {
        for (unsigned char c : value) FUZZ_CHECK(c >= 0x20 && c != 0x7f, name + "=" + value);
        if (name.compare(0, 7, "userdb_") == 0) fields.insert(name);
        if (name == "EXTRA") extra = value;
    }
    for (const std::string& name :
         fuzz_pieces(reinterpret_cast<const uint8_t*>(extra.data()), extra.size(), ' '))
        if (!name.empty()) named.insert(name);
    FUZZ_CHECK(fields == named, text + " EXTRA=" + extra);
    return 0;
}
