// The collection of a driver's diagnostic records under hostile messages.
// SQLError is answered here from the fuzz input (the records a driver could
// send: any state, any native code, any message, longer than the buffer
// too). Each record must give one state line and one error line; the
// leading "[...]" tags must all move to the state line and the rest of the
// message must stay, blanks aside; trace lines must keep to 80 characters.
#include <sql.h>
#include <sqlext.h>

#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "odbc/database.h"
#include "odbc/db_exception.h"
#include "odbc/trace.h"

namespace {

struct record {
    std::string state;
    long native;
    std::string message;
};
std::vector<record> records;
std::size_t next_record = 0;
SQLRETURN end_code = SQL_NO_DATA_FOUND;

std::vector<std::string> traced;

std::string without_spaces(const std::string& text) {
    std::string out;
    for (char c : text)
        if (c != ' ') out += c;
    return out;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t lf = text.find('\n', start);
        if (lf == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, lf - start));
        start = lf + 1;
    }
    return lines;
}

}  // namespace

// What a driver manager does with a buffer that is too small: the text is
// cut to fit and terminated, its full length reported, and the answer is
// SQL_SUCCESS_WITH_INFO.
extern "C" SQLRETURN SQLError(SQLHENV, SQLHDBC, SQLHSTMT, SQLCHAR* state, SQLINTEGER* native,
                              SQLCHAR* message, SQLSMALLINT room, SQLSMALLINT* length) {
    if (next_record >= records.size()) return end_code;
    const record& r = records[next_record++];
    std::memset(state, 0, 6);
    std::memcpy(state, r.state.data(), std::min<std::size_t>(r.state.size(), 5));
    *native = static_cast<SQLINTEGER>(r.native);
    std::size_t n = std::min<std::size_t>(r.message.size(), static_cast<std::size_t>(room - 1));
    std::memcpy(message, r.message.data(), n);
    message[n] = '\0';
    if (length) *length = static_cast<SQLSMALLINT>(std::min<std::size_t>(r.message.size(), 32767));
    return n < r.message.size() ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    trace_switches on;
    on.enabled = true;
    on.flags = traceDatabase;
    set_trace_switches(on);
    set_trace_sink([](const std::string& text) { traced.push_back(text); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // Records are cut at NUL bytes (a C text cannot hold one): five bytes of
    // state, one byte of native code, then the message. Line feeds in a
    // message become blanks so that the texts can be read line by line.
    if (size == 0) return 0;
    end_code = data[0] & 1 ? SQL_NO_DATA_FOUND : SQL_ERROR;
    records.clear();
    next_record = 0;
    for (std::string& piece : fuzz_pieces(data + 1, size - 1, '\0')) {
        record r;
        r.state = piece.substr(0, std::min<std::size_t>(piece.size(), 5));
        r.state.resize(5, '0' + static_cast<char>(records.size() % 10));
        for (char& c : r.state)
            if (c == '\n') c = ' ';
        r.native = piece.size() > 5 ? static_cast<signed char>(piece[5]) * 1000L : 0;
        r.message = piece.size() > 6 ? piece.substr(6) : std::string();
        for (char& c : r.message)
            if (c == '\n') c = ' ';
        records.push_back(r);
    }

    static CDatabase database;
    traced.clear();
    CDBException error(SQL_ERROR);
    error.CollectErrors(&database, SQL_NULL_HSTMT, true);

    // The records taken are those before the first "00000" state.
    std::size_t taken = 0;
    while (taken < records.size() && records[taken].state != "00000") ++taken;
    std::vector<std::string> states = lines_of(error.m_strStateText);
    std::vector<std::string> texts = lines_of(error.m_strErrorText);
    FUZZ_CHECK(states.size() == taken, error.m_strStateText);
    FUZZ_CHECK(texts.size() == taken, error.m_strErrorText);
    FUZZ_CHECK(error.m_states.size() == taken, error.m_strStateText);
    FUZZ_CHECK(error.m_strStateText.empty() || error.m_strStateText.back() == '\n',
               error.m_strStateText);
    FUZZ_CHECK(error.m_strErrorText.empty() || error.m_strErrorText.back() == '\n',
               error.m_strErrorText);
    for (std::size_t i = 0; i < taken; ++i) {
        const record& r = records[i];
        std::string head = "State:" + r.state + ",Native:" + std::to_string(r.native) + ",Origin:";
        FUZZ_CHECK(states[i].compare(0, head.size(), head) == 0, states[i]);
        FUZZ_CHECK(error.m_states[i] == r.state && error.HasState(r.state.c_str()), states[i]);
        std::string origin = states[i].substr(head.size());
        FUZZ_CHECK(origin.empty() || (origin.front() == '[' && origin.back() == ']'), origin);
        // The message buffer is handed over as 511 bytes long: 510
        // characters and the terminator.
        std::string message = r.message.substr(0, std::min<std::size_t>(r.message.size(), 510));
        FUZZ_CHECK(without_spaces(origin + texts[i]) == without_spaces(message), message);
        // No tag is left at the head of the error line.
        FUZZ_CHECK(
            texts[i].empty() || texts[i].front() != '[' || texts[i].find(']') == std::string::npos,
            texts[i]);
    }
    for (const std::string& piece : traced) FUZZ_CHECK(piece.size() <= 81, piece);

    // The message copy into a caller's buffer of any size, the buffer
    // allocated to the byte so that the sanitizer sees any overrun; a
    // zero-sized one must not be touched at all.
    std::size_t room = data[0] >> 1;
    std::unique_ptr<char[]> buffer(new char[room == 0 ? 1 : room]);
    buffer[0] = 'x';
    unsigned help = 7;
    FUZZ_CHECK(error.GetMessageText(buffer.get(), static_cast<unsigned>(room), &help),
               error.m_strErrorText);
    FUZZ_CHECK(help == 0, error.m_strErrorText);
    if (room == 0) {
        FUZZ_CHECK(buffer[0] == 'x', error.m_strErrorText);
    } else {
        std::size_t copied = std::strlen(buffer.get());
        FUZZ_CHECK(copied + 1 <= room && buffer[room - 1] == '\0', error.m_strErrorText);
        FUZZ_CHECK(error.m_strErrorText.compare(0, copied, buffer.get()) == 0,
                   error.m_strErrorText);
    }
    FUZZ_CHECK(std::strlen(error.what()) > 0, error.m_strErrorText);
    return 0;
}
