// Postfix's socketmap under hostile clients: the input is read as the
// service reads a client's bytes, netstring after netstring. A netstring
// taken is exactly what netstring() would write for its data, and never
// longer than the limit; a request splits into a name without a blank and
// the key after it.
#include <string>

#include "fuzz_support.h"
#include "service/socketmap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t limit = data[0] % 64;
    std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    while (!input.empty()) {
        const netstring_take take = take_netstring(input, limit);
        if (take.status != netstring_status::complete) {
            FUZZ_CHECK(take.used == 0, input);
            // What could not yet be read may still become a netstring; what
            // was broken stays broken with more bytes.
            if (take.status == netstring_status::broken)
                FUZZ_CHECK(take_netstring(input + "0:,", limit).status == netstring_status::broken,
                           input);
            break;
        }
        FUZZ_CHECK(take.used <= input.size() && take.payload.size() <= limit, input);
        FUZZ_CHECK(netstring(take.payload) == input.substr(0, take.used), input);
        if (std::optional<socketmap_request> request = parse_socketmap_request(take.payload)) {
            FUZZ_CHECK(!request->name.empty() && request->name.find(' ') == std::string::npos,
                       std::string(take.payload));
            FUZZ_CHECK(request->name + " " + request->key == take.payload,
                       std::string(take.payload));
        }
        input.erase(0, take.used);
    }
    return 0;
}
