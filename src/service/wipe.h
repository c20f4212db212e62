// The service's buffers hold passwords on their way between a client and
// a worker: what leaves one is wiped before it is dropped.
#pragma once

#include <sodium.h>

#include <string>

inline void wipe_bytes(std::string& text, std::size_t count) {
    if (count > text.size()) count = text.size();
    if (count > 0) sodium_memzero(&text[0], count);
    text.erase(0, count);
}
