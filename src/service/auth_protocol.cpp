#include "service/auth_protocol.h"

#include <sodium.h>
#include <string.h>

#include <vector>

#include "config/ascii_text.h"
#include "config/number_text.h"

namespace {

// LOGIN's two prompts, base64 of "Username:" and "Password:".
const char* const username_prompt = "VXNlcm5hbWU6";
const char* const password_prompt = "UGFzc3dvcmQ6";

std::vector<std::string_view> split_tabs(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string_view::npos ? tab : tab - start));
        if (tab == std::string_view::npos) return fields;
        start = tab + 1;
    }
}

// A request ID: a decimal number that fits 32 bits, as the protocol says.
std::optional<unsigned> request_id(std::string_view text) {
    if (std::optional<long long> id = read_number(text, number_form::digits, 0, 0xFFFFFFFFll))
        return static_cast<unsigned>(*id);
    return std::nullopt;
}

// Strict base64 as SMTP AUTH carries it; absent when it is none.
std::optional<std::string> base64_decoded(std::string_view text) {
    std::string out(text.size() / 4 * 3 + 3, '\0');
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(&out[0]), out.size(), text.data(),
                          text.size(), nullptr, &length, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.data() + text.size()) {
        sodium_memzero(&out[0], out.size());
        return std::nullopt;
    }
    out.resize(length);
    return out;
}

void wipe(std::string& text) {
    if (!text.empty()) sodium_memzero(&text[0], text.size());
    text.clear();
}

std::string id_text(unsigned id) { return std::to_string(id); }

}  // namespace

bool auth_name_acceptable(std::string_view name) {
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7f) return false;
    return !name.empty();
}

std::string tab_unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\001' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        switch (char c = text[++i]) {
        case '0':
            out += '\0';
            break;
        case '1':
            out += '\001';
            break;
        case 't':
            out += '\t';
            break;
        case 'r':
            out += '\r';
            break;
        case 'n':
        case 'l':
            out += '\n';
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string auth_conversation::handshake(unsigned long server_pid, unsigned long connection,
                                         const std::string& cookie) {
    // MECH before SPID: Postfix and Exim take a SPID without a MECH line
    // before it for Dovecot's master socket and give up.
    return "VERSION\t1\t2\n"
           "MECH\tPLAIN\tplaintext\n"
           "MECH\tLOGIN\tplaintext\n"
           "SPID\t" +
           std::to_string(server_pid) + "\nCUID\t" + std::to_string(connection) + "\nCOOKIE\t" +
           cookie + "\nDONE\n";
}

auth_step auth_conversation::take_line(std::string_view line) {
    auth_step step;
    const std::vector<std::string_view> fields = split_tabs(line);
    const std::string_view command = fields[0];
    if (!version_seen_) {
        // The major version must match; the minor one says what the client reads.
        if (command == "VERSION" && fields.size() >= 3 && fields[1] == "1" &&
            request_id(fields[2])) {
            version_seen_ = true;
            minor_ = *request_id(fields[2]);
            return step;
        }
        step.close = true;
        step.broken = "the client did not begin with VERSION 1";
        return step;
    }
    if (command == "CPID") return step;
    if (command == "AUTH") return begin(line.substr(5 > line.size() ? line.size() : 5));
    if (command == "CONT") return resume(line.substr(5 > line.size() ? line.size() : 5));
    if (command == "CANCEL") {
        if (fields.size() >= 2)
            if (std::optional<unsigned> id = request_id(fields[1])) pending_.erase(*id);
        return step;
    }
    step.close = true;
    step.broken = "unknown command";
    return step;
}

auth_step auth_conversation::begin(std::string_view rest) {
    auth_step step;
    const std::vector<std::string_view> fields = split_tabs(rest);
    std::optional<unsigned> id = request_id(fields[0]);
    if (!id || fields.size() < 2 || fields[1].empty()) {
        step.close = true;
        step.broken = "AUTH without a request ID and a mechanism";
        return step;
    }
    if (pending_.count(*id)) {
        // The request under way keeps the ID; its answer would be taken
        // for this one's.
        step.close = true;
        step.broken = "AUTH with the ID of a request under way";
        return step;
    }
    const bool plain = ascii_equal_ignoring_case(fields[1], "PLAIN");
    if (!plain && !ascii_equal_ignoring_case(fields[1], "LOGIN")) {
        step.reply = "FAIL\t" + id_text(*id) + "\treason=Unsupported authentication mechanism\n";
        step.close = true;
        step.broken = "AUTH with a mechanism other than PLAIN and LOGIN";
        return step;
    }
    pending request;
    request.serial = next_serial_++;
    bool service = false;
    std::optional<std::string> response;
    for (std::size_t i = 2; i < fields.size(); ++i) {
        const std::string_view field = fields[i];
        if (field.compare(0, 8, "service=") == 0) {
            service = true;
        } else if (field.compare(0, 4, "rip=") == 0) {
            request.address = tab_unescape(field.substr(4));
        } else if (field.compare(0, 5, "resp=") == 0) {
            // The last parameter: what follows it is not read, so that a
            // client's data put in unfiltered cannot add parameters.
            response = std::string(field.substr(5));
            break;
        }
        // lip=, secured, nologin and the rest change nothing here.
    }
    if (!service) {
        step.reply = "FAIL\t" + id_text(*id) + "\treason=No service given\n";
        step.close = true;
        step.broken = "AUTH without service=";
        return step;
    }
    request.at = plain ? stage::plain_response : stage::login_user;
    pending& held = pending_[*id] = std::move(request);
    // An empty initial response is no initial response (Exim sends one).
    if (response && !response->empty()) {
        std::optional<std::string> data = base64_decoded(*response);
        wipe(*response);
        if (!data) {
            pending_.erase(*id);
            step.reply =
                "FAIL\t" + id_text(*id) + "\treason=Invalid base64 data in initial response\n";
            return step;
        }
        step = mechanism_data(*id, held, *data);
        wipe(*data);
    } else {
        step.reply = "CONT\t" + id_text(*id) + "\t" + (plain ? "" : username_prompt) + "\n";
    }
    // Only a new request adds one that waits: CONT moves a request on or
    // ends it. A client past the cap holds requests no SMTP session needs
    // and would grow the process with each one.
    if (waiting() > max_waiting_) {
        pending_.erase(*id);
        step.reply = "FAIL\t" + id_text(*id) + "\treason=Too many requests in progress\n";
        step.close = true;
        step.broken = "more than max_pending requests waiting for their next step";
    }
    return step;
}

auth_step auth_conversation::resume(std::string_view rest) {
    auth_step step;
    std::size_t tab = rest.find('\t');
    std::optional<unsigned> id = request_id(rest.substr(0, tab));
    if (!id || tab == std::string_view::npos) {
        step.close = true;
        step.broken = "CONT without a request ID and data";
        return step;
    }
    auto found = pending_.find(*id);
    if (found == pending_.end()) {
        // Dovecot's answer to a request it no longer holds.
        step.reply = "FAIL\t" + id_text(*id) + "\treason=Authentication request timed out\n";
        return step;
    }
    if (found->second.at == stage::checking) {
        pending_.erase(found);
        step.reply = "FAIL\t" + id_text(*id) + "\treason=Unexpected continuation\n";
        return step;
    }
    std::optional<std::string> data = base64_decoded(rest.substr(tab + 1));
    // The name LOGIN's first step gave is not checked yet: refuse writes it
    // only when a TAB in it cannot add a field of its own choosing.
    if (!data) return refuse(*id, found->second.user, "Invalid base64 data in continued response");
    step = mechanism_data(*id, found->second, *data);
    wipe(*data);
    return step;
}

auth_step auth_conversation::mechanism_data(unsigned id, pending& request,
                                            const std::string& data) {
    switch (request.at) {
    case stage::plain_response: {
        // authzid NUL authcid NUL password
        std::size_t first = data.find('\0');
        std::size_t second = first == std::string::npos ? first : data.find('\0', first + 1);
        if (second == std::string::npos || data.find('\0', second + 1) != std::string::npos)
            return refuse(id, "", "Invalid PLAIN data");
        std::string authzid = data.substr(0, first);
        std::string user = data.substr(first + 1, second - first - 1);
        // Logging in as another user than the one whose password is given
        // is for master users, which the table has none of.
        if (!authzid.empty() && authzid != user) return refuse(id, user);
        return checking(id, request, std::move(user), data.substr(second + 1));
    }
    case stage::login_user: {
        if (data.find('\0') != std::string::npos) return refuse(id, "", "Invalid user name");
        request.user = data;
        request.at = stage::login_password;
        auth_step step;
        step.reply = "CONT\t" + id_text(id) + "\t" + password_prompt + "\n";
        return step;
    }
    case stage::login_password:
        return checking(id, request, request.user, data);
    case stage::checking:
        break;
    }
    return refuse(id, request.user);
}

auth_step auth_conversation::refuse(unsigned id, const std::string& user, const char* reason) {
    // The name may be the request's own, which goes with it: the line first.
    auth_step step;
    step.reply = "FAIL\t" + id_text(id);
    if (auth_name_acceptable(user)) step.reply += "\tuser=" + user;
    if (reason) step.reply += std::string("\treason=") + reason;
    step.reply += "\n";
    pending_.erase(id);
    return step;
}

auth_step auth_conversation::checking(unsigned id, pending& request, std::string user,
                                      std::string password) {
    // No name a table can hold, no password: no query for either.
    if (!auth_name_acceptable(user) || password.empty() ||
        password.find('\0') != std::string::npos) {
        wipe(password);
        return refuse(id, user);
    }
    request.at = stage::checking;
    request.user = user;
    auth_step step;
    step.check =
        auth_check{id, request.serial, std::move(user), std::move(password), request.address};
    return step;
}

std::size_t auth_conversation::waiting() const {
    std::size_t count = 0;
    for (const auto& [id, request] : pending_) count += request.at != stage::checking;
    return count;
}

std::string auth_conversation::answer(const auth_check& check, check_verdict verdict,
                                      const std::string& found_user, bool& close) {
    close = false;
    auto found = pending_.find(check.id);
    if (found == pending_.end() || found->second.serial != check.serial ||
        found->second.at != stage::checking)
        return "";
    pending_.erase(found);
    const std::string id = id_text(check.id);
    switch (verdict) {
    case check_verdict::found:
        if (auth_name_acceptable(found_user)) return "OK\t" + id + "\tuser=" + found_user + "\n";
        // A stored name no line can carry is refused, as the line protocol does.
        return "FAIL\t" + id + "\tuser=" + check.user + "\n";
    case check_verdict::refused:
        return "FAIL\t" + id + "\tuser=" + check.user + "\n";
    case check_verdict::unavailable:
        break;
    }
    if (minor_ == 0) {
        close = true;
        return "";
    }
    // "temp" for clients of protocol 1.1, code=temp_fail for those of 1.2.
    return "FAIL\t" + id + "\tuser=" + check.user + "\tcode=temp_fail\ttemp\n";
}
