#include "odbc/trace.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>

#include "odbc/sql_text.h"

namespace {

struct trace_state {
    std::mutex mutex;
    std::optional<trace_switches> switches;  // read lazily on first use
    trace_sink sink;                         // empty: the TraceFile sink
};

trace_state& state() {
    static trace_state* s = new trace_state;  // outlives every static destructor that may trace
    return *s;
}

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

// Integer keys read like the classic profile readers: leading digits count,
// anything else is 0. "0x" introduces hex, as TraceFlags is a bit set.
unsigned profile_number(const std::string& value) {
    const char* p = value.c_str();
    int base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    if (*p == '-') return 0;
    return static_cast<unsigned>(std::strtoul(p, nullptr, base));
}

void append_to_file(const std::string& path, const std::string& text) {
    if (path.empty()) return;
    FILE* f = std::fopen(path.c_str(), "a");
    if (!f) return;  // a trace must never disturb the program it watches
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

std::string vformat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0) return std::string();
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(&out[0], out.size(), format, args);
    out.resize(static_cast<size_t>(n));
    return out;
}

const trace_switches& switches_locked(trace_state& s) {
    if (!s.switches) s.switches = read_trace_switches("DBTRACE.INI");
    return *s.switches;
}

void emit(const std::string& text) {
    trace_state& s = state();
    trace_sink sink;
    std::string file;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        sink = s.sink;
        file = switches_locked(s).file;
    }
    if (sink)
        sink(text);
    else
        append_to_file(file, text);
}

}  // namespace

trace_switches read_trace_switches(const std::string& path) {
    trace_switches result;
    std::ifstream in(path);
    if (!in) return result;
    std::string line;
    bool in_section = false;
    while (std::getline(in, line)) {
        std::string t = trim(line);
        if (t.empty() || t[0] == ';' || t[0] == '#') continue;
        if (t[0] == '[') {
            size_t close = t.find(']');
            in_section = close != std::string::npos &&
                         EqualsNoCase(trim(t.substr(1, close - 1)), "Diagnostics");
            continue;
        }
        if (!in_section) continue;
        size_t eq = t.find('=');
        if (eq == std::string::npos) continue;
        std::string key = trim(t.substr(0, eq));
        std::string value = trim(t.substr(eq + 1));
        if (EqualsNoCase(key, "TraceEnabled"))
            result.enabled = profile_number(value) != 0;
        else if (EqualsNoCase(key, "TraceFlags"))
            result.flags = profile_number(value);
        else if (EqualsNoCase(key, "TraceFile"))
            result.file = value;
    }
    return result;
}

trace_switches current_trace_switches() {
    trace_state& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return switches_locked(s);
}

void set_trace_switches(const trace_switches& switches) {
    trace_state& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.switches = switches;
}

void reset_trace_switches() {
    trace_state& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.switches.reset();
}

trace_sink set_trace_sink(trace_sink sink) {
    trace_state& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    trace_sink previous = std::move(s.sink);
    s.sink = std::move(sink);
    return previous;
}

bool trace_enabled() { return current_trace_switches().enabled; }

bool trace_category_on(unsigned category) {
    trace_switches sw = current_trace_switches();
    return sw.enabled && (sw.flags & category) != 0;
}

void db_trace(const char* format, ...) {
    if (!trace_enabled()) return;
    va_list args;
    va_start(args, format);
    std::string text = vformat(format, args);
    va_end(args);
    emit(text);
}

void db_trace_category(unsigned category, const char* format, ...) {
    if (!trace_category_on(category)) return;
    va_list args;
    va_start(args, format);
    std::string text = vformat(format, args);
    va_end(args);
    emit(text);
}

void TraceWrapped(const std::string& text) {
    constexpr size_t width = 80;
    if (text.size() <= width) {
        db_trace("%s\n", text.c_str());
        return;
    }
    size_t pos = 0;
    while (text.size() - pos > width) {
        db_trace("%s\n", text.substr(pos, width).c_str());
        pos += width;
    }
    db_trace("%s\n", text.substr(pos).c_str());
}
