// The IP mask reading under hostile text: a mask comes from the user table
// and an address from the mail server's command line. Any text must read
// without a fault; a plain dotted quad must read as its 32-bit address; and
// the mask test must let an address through its own mask and through 0.
#include <cstdint>

#include "config/number_text.h"
#include "directory/directory.h"
#include "fuzz_support.h"

namespace {

// "a.b.c.d" with four decimal fields of at most three digits, each 0..255.
bool plain_quad(const std::string& text, std::uint32_t& value) {
    value = 0;
    std::size_t i = 0;
    for (int field = 0; field < 4; ++field) {
        if (field > 0) {
            if (i >= text.size() || text[i] != '.') return false;
            ++i;
        }
        std::size_t digits = 0;
        unsigned n = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 3) {
            n = n * 10 + static_cast<unsigned>(text[i] - '0');
            ++i;
            ++digits;
        }
        if (digits == 0 || n > 255) return false;
        value = (value << 8) | n;
    }
    return i == text.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::vector<std::string> texts = fuzz_pieces(data, size, '\n');
    for (const std::string& text : texts) {
        std::uint32_t value = ip_mask_value(text);
        FUZZ_CHECK(ip_mask_passes(value, value), text);
        FUZZ_CHECK(ip_mask_passes(value, 0), text);
        std::uint32_t quad = 0;
        if (plain_quad(text, quad)) FUZZ_CHECK(value == quad, text);
        (void)read_number(text, number_form::leading, 0, 65535);
        (void)read_number(text, number_form::digits, 0, 65535);
    }
    if (texts.size() >= 2) {
        // An address passes a mask exactly when it has every bit of the mask.
        std::uint32_t mask = ip_mask_value(texts[0]);
        std::uint32_t address = ip_mask_value(texts[1]);
        FUZZ_CHECK(ip_mask_passes(address, mask) == ((address | mask) == address),
                   texts[0] + " / " + texts[1]);
    }
    return 0;
}
