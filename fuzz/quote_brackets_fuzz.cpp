// The bracket rewrite of the statements a recordset sends, under hostile
// text. Each bracket becomes one quote character or a doubled one becomes a
// single bracket, so the text can never grow; quotes are copied as they
// stand, so no literal can be opened or closed by the rewrite.
#include "fuzz_support.h"
#include "odbc/database.h"

namespace {

std::size_t count_of(const std::string& text, char c) {
    std::size_t n = 0;
    for (char x : text) n += x == c;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static CDatabase database;
    // The first byte is the driver's identifier quote: a space when the
    // driver names none, usually '"' or '`', any byte for a hostile driver.
    database.m_chIdentifierQuote = static_cast<char>(data[0]);
    std::string before(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string text = before;
    database.ReplaceQuoteBrackets(text);
    FUZZ_CHECK(text.size() <= before.size(), before + " -> " + text);
    if (database.m_chIdentifierQuote != '\'')
        FUZZ_CHECK(count_of(text, '\'') == count_of(before, '\''), before + " -> " + text);
    if (count_of(before, '[') + count_of(before, ']') == 0)
        FUZZ_CHECK(text == before, before + " -> " + text);
    return 0;
}
