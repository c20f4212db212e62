// Diagnostic trace of the ODBC class layer: a developer's channel for
// "Error:" and "Warning:" lines that must never reach the protocol on stdout,
// stderr or the authenticator's log file.
//
// Switches come from "DBTRACE.INI" in the working directory, section
// [Diagnostics]: TraceEnabled (default 1), TraceFlags (default 0; 0x20 turns
// on the database category) and TraceFile, the file the lines are appended
// to. Without a TraceFile the lines are dropped. Tests replace the sink to
// read what was traced.
#pragma once

#include <functional>
#include <string>

// Trace category bit for the database lines ("Warning: ...", "DBMS: ...").
constexpr unsigned traceDatabase = 0x20;

struct trace_switches {
    bool enabled = true;  // TraceEnabled
    unsigned flags = 0;   // TraceFlags
    std::string file;     // TraceFile; empty: lines are dropped
};

// Reads the switches from an ini file in the DBTRACE.INI format; a missing
// file or key leaves the default.
trace_switches read_trace_switches(const std::string& path);

// The switches in force; read from "DBTRACE.INI" on first use.
trace_switches current_trace_switches();
// Replaces the switches in force (tests, or a caller that read them itself).
void set_trace_switches(const trace_switches& switches);
// Forgets the switches in force, so that the next use reads "DBTRACE.INI"
// again from the current working directory.
void reset_trace_switches();

// Receives each traced piece of text exactly as formatted (a piece need not
// end in a newline). The default sink appends to the TraceFile.
using trace_sink = std::function<void(const std::string& text)>;
// Installs a sink; an empty function restores the default. Returns the sink
// that was installed before (empty when it was the default).
trace_sink set_trace_sink(trace_sink sink);

// True when tracing is on at all.
bool trace_enabled();
// True when tracing is on and the category bit is set in TraceFlags.
bool trace_category_on(unsigned category);

// General trace: written whenever tracing is on.
void db_trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Category trace: written only when that category is on.
void db_trace_category(unsigned category, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Writes a text to the trace in lines of at most 80 characters, so that a
// long driver message stays readable in a narrow debugger pane.
void TraceWrapped(const std::string& text);
