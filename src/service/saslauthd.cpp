#include "service/saslauthd.h"

#include <sodium.h>

namespace {

void wipe(std::string& text) {
    if (!text.empty()) sodium_memzero(&text[0], text.size());
}

}  // namespace

saslauthd_request::~saslauthd_request() { wipe(password); }

saslauthd_take take_saslauthd_request(std::string_view input, std::size_t limit) {
    saslauthd_take take;
    std::string* const fields[] = {&take.request.login, &take.request.password,
                                   &take.request.service, &take.request.realm};
    std::size_t at = 0, total = 0;
    for (std::string* field : fields) {
        if (input.size() < at + 2) return saslauthd_take{};
        const std::size_t length =
            static_cast<unsigned char>(input[at]) << 8 | static_cast<unsigned char>(input[at + 1]);
        total += length;
        if (total > limit) {
            saslauthd_take broken;
            broken.status = saslauthd_status::broken;
            broken.broken = "a request longer than the limit";
            return broken;
        }
        at += 2;
        if (input.size() < at + length) return saslauthd_take{};
        field->assign(input.substr(at, length));
        at += length;
    }
    if (input.size() > at) {
        saslauthd_take broken;
        broken.status = saslauthd_status::broken;
        broken.broken = "bytes after the request";
        return broken;
    }
    take.status = saslauthd_status::complete;
    return take;
}

std::string saslauthd_user(const saslauthd_request& request) {
    if (request.realm.empty() || request.login.find('@') != std::string::npos) return request.login;
    return request.login + "@" + request.realm;
}

bool saslauthd_checkable(const saslauthd_request& request) {
    return !request.login.empty() && auth_name_acceptable(saslauthd_user(request)) &&
           !request.password.empty() && request.password.find('\0') == std::string::npos;
}

std::string saslauthd_answer(check_verdict verdict) {
    switch (verdict) {
    case check_verdict::found:
        return counted_string("OK");
    case check_verdict::refused:
        break;
    case check_verdict::unavailable:
        return counted_string("NO temporary failure: the user database cannot answer");
    }
    return counted_string("NO authentication failed");
}

std::string counted_string(std::string_view text) {
    const std::size_t length = text.size() > 0xffff ? 0xffff : text.size();
    std::string out;
    out += static_cast<char>(length >> 8);
    out += static_cast<char>(length & 0xff);
    out.append(text.substr(0, length));
    return out;
}
