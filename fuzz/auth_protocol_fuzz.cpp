// Dovecot's authentication protocol under hostile clients: each line of the
// input is fed to one conversation, and every check it hands on is
// answered, by turns found, refused and unavailable. Whatever the lines, a
// reply is whole lines of CONT or FAIL without CR or NUL; a check carries a
// name a table can hold and a password; an answer is one line naming the
// request's ID, or (a temporary failure to a client of protocol 1.0) the
// connection's end.
#include <deque>
#include <string>

#include "fuzz_support.h"
#include "service/auth_protocol.h"

namespace {

bool whole_lines(const std::string& text, bool answers) {
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) return false;
        const std::string line = text.substr(start, end - start);
        if (line.find('\r') != std::string::npos || line.find('\0') != std::string::npos)
            return false;
        const bool known = line.rfind("FAIL\t", 0) == 0 ||
                           (answers ? line.rfind("OK\t", 0) == 0 : line.rfind("CONT\t", 0) == 0);
        if (!known) return false;
        start = end + 1;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    auth_conversation talk;
    std::deque<auth_check> checks;
    unsigned turn = 0;
    for (const std::string& line : fuzz_pieces(data, size, '\n')) {
        auth_step step = talk.take_line(line);
        FUZZ_CHECK(whole_lines(step.reply, false), line + " -> " + step.reply);
        if (step.close) break;
        if (step.check) {
            FUZZ_CHECK(auth_name_acceptable(step.check->user), line);
            FUZZ_CHECK(!step.check->password.empty(), line);
            FUZZ_CHECK(step.check->password.find('\0') == std::string::npos, line);
            checks.push_back(*step.check);
        }
        // Some checks stay under way while further lines come.
        while (checks.size() > turn % 3) {
            const auth_check check = checks.front();
            checks.pop_front();
            const check_verdict verdict = static_cast<check_verdict>(turn++ % 3);
            bool close = false;
            const std::string answer = talk.answer(check, verdict, "user@example.org", close);
            if (close) {
                FUZZ_CHECK(verdict == check_verdict::unavailable && answer.empty(), line);
                return 0;
            }
            if (answer.empty()) continue;  // cancelled meanwhile
            FUZZ_CHECK(whole_lines(answer, true) && answer.find('\n') == answer.size() - 1, answer);
            const std::string id = "\t" + std::to_string(check.id) + "\t";
            FUZZ_CHECK(answer.find(id) == answer.find('\t'), answer);
            FUZZ_CHECK((answer.rfind("OK\t", 0) == 0) == (verdict == check_verdict::found), answer);
        }
    }
    return 0;
}
