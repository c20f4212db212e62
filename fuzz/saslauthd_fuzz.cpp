// saslauthd's counted strings under hostile clients: the input is read as
// the service reads one connection's bytes, at every length it may have
// reached. A request taken is exactly the four counted strings it was
// written as, within the limit; what is broken stays broken with more bytes,
// and what is incomplete never holds a whole request.
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "service/saslauthd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t limit = data[0] * 4u;
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    saslauthd_status before = saslauthd_status::incomplete;
    for (std::size_t length = 0; length <= input.size(); ++length) {
        const std::string_view seen = std::string_view(input).substr(0, length);
        const saslauthd_take take = take_saslauthd_request(seen, limit);
        // Once broken or whole, more bytes never make it incomplete again,
        // and a whole request followed by more is broken.
        if (before == saslauthd_status::broken)
            FUZZ_CHECK(take.status == saslauthd_status::broken, std::string(seen));
        if (before == saslauthd_status::complete)
            FUZZ_CHECK(take.status == saslauthd_status::broken, std::string(seen));
        before = take.status;
        if (take.status != saslauthd_status::complete) continue;
        const saslauthd_request& r = take.request;
        FUZZ_CHECK(r.login.size() + r.password.size() + r.service.size() + r.realm.size() <= limit,
                   std::string(seen));
        FUZZ_CHECK(counted_string(r.login) + counted_string(r.password) +
                           counted_string(r.service) + counted_string(r.realm) ==
                       seen,
                   std::string(seen));
        const std::string user = saslauthd_user(r);
        FUZZ_CHECK(user == r.login || user == r.login + "@" + r.realm, std::string(seen));
        if (saslauthd_checkable(r))
            FUZZ_CHECK(!r.password.empty() && user.find('\n') == std::string::npos,
                       std::string(seen));
    }
    return 0;
}
