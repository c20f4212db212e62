// Test helper: while a trace_capture lives, the diagnostic trace runs with
// the given switches and everything traced is collected in text().
#pragma once

#include <string>

#include "odbc/trace.h"

class trace_capture {
public:
    explicit trace_capture(unsigned flags = traceDatabase, bool enabled = true)
        : saved_(current_trace_switches()) {
        trace_switches sw;
        sw.enabled = enabled;
        sw.flags = flags;
        set_trace_switches(sw);
        previous_ = set_trace_sink([this](const std::string& t) { text_ += t; });
    }
    ~trace_capture() {
        set_trace_sink(previous_);
        set_trace_switches(saved_);
    }
    trace_capture(const trace_capture&) = delete;
    trace_capture& operator=(const trace_capture&) = delete;

    const std::string& text() const { return text_; }
    void clear() { text_.clear(); }

private:
    trace_switches saved_;
    trace_sink previous_;
    std::string text_;
};
