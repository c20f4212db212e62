// nginx's auth_http requests under hostile clients: the input is read as
// the service reads a client's bytes. A request taken is never longer than
// the limit and takes the whole input (one request a connection); what is
// incomplete stays readable with more bytes unless they make it too long;
// a request's question, when it asks one, names a user of printable bytes,
// and every answer is one whole HTTP/1.0 response.
#include <string>

#include "fuzz_support.h"
#include "service/http_auth.h"

namespace {

bool whole_response(const std::string& text) {
    return text.rfind("HTTP/1.0 ", 0) == 0 && text.size() >= 4 &&
           text.compare(text.size() - 4, 4, "\r\n\r\n") == 0 &&
           text.find("\r\n\r\n") == text.size() - 4;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t limit = 64 + data[0] * 8u;
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    const http_take take = take_http_request(input, limit);
    if (take.status == http_take_status::incomplete) {
        FUZZ_CHECK(input.size() <= limit && take.used == 0, input);
        return 0;
    }
    if (take.status == http_take_status::refused) {
        FUZZ_CHECK(take.code >= 400 && take.code < 500, input);
        FUZZ_CHECK(whole_response(http_error_response(take.code)), input);
        return 0;
    }
    FUZZ_CHECK(take.used == input.size() && take.used <= limit, input);
    http_auth_settings settings;
    if (data[0] & 1) settings.key = "key";
    const http_auth_step step = read_http_auth(take, settings);
    if (!step.query) {
        FUZZ_CHECK(whole_response(step.response), input);
        return 0;
    }
    FUZZ_CHECK(!step.query->user.empty() && auth_name_acceptable(step.query->user), input);
    for (check_verdict verdict :
         {check_verdict::found, check_verdict::refused, check_verdict::unavailable}) {
        std::string log;
        const std::string answer = http_auth_answer(step.query->protocol, step.query->attempt,
                                                    verdict, step.query->user, settings, {}, log);
        FUZZ_CHECK(whole_response(answer), input);
    }
    return 0;
}
