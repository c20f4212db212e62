// Writing a whole text to a descriptor: a pipe or socket to a peer takes it
// in pieces and a signal may cut a write short, and an answer must never be
// sent in part.
#pragma once

#include <string>

// Writes all of `text`, through interrupted and short writes; false when the
// descriptor refuses it.
bool write_all(int fd, const std::string& text);
