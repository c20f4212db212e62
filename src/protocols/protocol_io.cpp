#include "protocols/protocol_io.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "config/input_wait.h"

bool line_reader::fill() {
    if (ended_) return false;
    if (start_ > 0) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    // Room for a few requests at a time: the room is zeroed before each read.
    const std::size_t used = buffer_.size();
    buffer_.resize(used + 4096);
    for (;;) {
        wait_for_input(fd_, idle_);
        ssize_t n = ::read(fd_, &buffer_[used], buffer_.size() - used);
        if (n < 0 && errno == EINTR) continue;
        buffer_.resize(used + static_cast<std::size_t>(n > 0 ? n : 0));
        if (n > 0) return true;
        ended_ = true;
        return false;
    }
}

bool line_reader::next(std::string& line, bool& too_long) {
    line.clear();
    too_long = false;
    for (;;) {
        std::size_t end = buffer_.find('\n', start_);
        if (end != std::string::npos) {
            std::size_t length = end - start_;
            if (!too_long) line.assign(buffer_, start_, std::min(length, limit_));
            too_long = too_long || length > limit_;
            start_ = end + 1;
            return true;
        }
        // No line end yet: an overlong line is cut down to its head while
        // the rest is read and dropped.
        if (buffer_.size() - start_ > limit_) {
            if (!too_long) line.assign(buffer_, start_, limit_);
            too_long = true;
            buffer_.clear();
            start_ = 0;
        }
        if (!fill()) {
            if (buffer_.size() > start_ && !too_long) {
                line.assign(buffer_, start_, std::string::npos);
                start_ = buffer_.size();
                return true;
            }
            start_ = buffer_.size();
            return too_long;
        }
    }
}

bool line_reader::line_waiting() const { return buffer_.find('\n', start_) != std::string::npos; }
