#include "protocols/squid.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>

#include "config/log.h"
#include "config/whole_write.h"
#include "protocols/protocol_io.h"

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool all_digits(std::string_view text) {
    if (text.empty() || text.size() > 20) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

std::vector<std::string_view> split_fields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t blank = line.find(' ', start);
        fields.push_back(
            line.substr(start, blank == std::string_view::npos ? blank : blank - start));
        if (blank == std::string_view::npos) return fields;
        start = blank + 1;
    }
}

// The back end is started when the helper starts; a start that failed (the
// database down) is tried again at a request, at most once a second, so
// that squid gets "BH" meanwhile and never a helper that dies at once,
// which squid counts as a crash and, after a few, stops for good.
struct {
    bool started = false;
    bool tried = false;
    std::chrono::steady_clock::time_point last_try;
} start_state;

bool back_end_started(auth_module_table& table) {
    if (start_state.started) return true;
    auto now = std::chrono::steady_clock::now();
    if (start_state.tried && now - start_state.last_try < std::chrono::seconds(1)) return false;
    start_state.tried = true;
    start_state.last_try = now;
    start_state.started = !table.start || table.start();
    if (!start_state.started) error_log("squid: the user directory could not start: answered BH");
    return start_state.started;
}

const char* const unavailable_answer = "BH message=\"the user database cannot answer\"\n";

}  // namespace

std::string squid_unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%' && i + 1 < text.size() && text[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        if (c == '%' && i + 2 < text.size()) {
            int high = hex_value(text[i + 1]), low = hex_value(text[i + 2]);
            if (high >= 0 && low >= 0 && (high | low) != 0) {
                out += static_cast<char>(high * 16 + low);
                i += 2;
                continue;
            }
        }
        out += c;
    }
    return out;
}

squid_request parse_squid_request(std::string_view line) {
    squid_request request;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::vector<std::string_view> fields = split_fields(line);
    std::size_t first = 0;
    if (all_digits(fields[0]) && (fields.size() >= 3 || fields.size() == 1)) {
        request.channel = std::string(fields[0]);
        first = 1;
    }
    if (fields.size() - first < 2 || line.find('\0') != std::string_view::npos) return request;
    request.user = squid_unescape(fields[first]);
    request.password = squid_unescape(fields[first + 1]);
    if (fields.size() > first + 2 && !fields[first + 2].empty() && fields[first + 2] != "-")
        request.address = squid_unescape(fields[first + 2]);
    request.well_formed = true;
    return request;
}

std::string squid_answer(auth_module_table& table, std::string_view line) {
    squid_request request = parse_squid_request(line);
    std::string answer = request.channel ? *request.channel + " " : "";
    if (!request.well_formed) {
        error_log("squid: a line that is no request answered BH");
        return answer + "BH message=\"malformed request\"\n";
    }
    // squid sends what the browser gave; an empty name or password is no
    // login, whatever a row might hold.
    if (request.user.empty() || request.password.empty()) return answer + "ERR\n";
    if (!table.check) return answer + "BH message=\"no user directory\"\n";
    if (!back_end_started(table)) return answer + unavailable_answer;
    try {
        command_words words = {std::string("check"), std::move(request.user),
                               std::move(request.password), std::move(request.address)};
        auth_result* result = table.check(words);
        if (result) {
            empty_auth_result(*result);
            return answer + "OK\n";
        }
        if (table.unavailable && table.unavailable()) return answer + unavailable_answer;
        return answer + "ERR\n";
    } catch (const std::exception& error) {
        error_log("squid: a request failed (%s): answered BH", error.what());
        return answer + "BH message=\"internal error\"\n";
    } catch (...) {
        error_log("squid: a request failed (an unknown fault): answered BH");
        return answer + "BH message=\"internal error\"\n";
    }
}

int serve_squid(auth_module_table& table, const std::vector<std::string>&, int answer_fd) {
    start_state = {};
    back_end_started(table);
    line_reader reader(0, max_request_line, table.idle);
    std::string line, answers;
    bool too_long = false;
    while (reader.next(line, too_long)) {
        if (too_long) {
            error_log("squid: a request line longer than %zu bytes answered BH", max_request_line);
            // Its channel ID, when it begins with one, is all that is read.
            std::size_t blank = line.find(' ');
            std::string channel = blank == std::string::npos ? "" : line.substr(0, blank);
            answers +=
                (all_digits(channel) ? channel + " " : "") + "BH message=\"line too long\"\n";
        } else {
            answers += squid_answer(table, line);
        }
        // With concurrency squid may have sent several requests at once:
        // their answers leave together.
        if (reader.line_waiting()) continue;
        if (!write_all(answer_fd, answers)) {
            error_log("squid: answer not written (%s): helper ends", std::strerror(errno));
            return 1;
        }
        answers.clear();
    }
    return 0;
}
