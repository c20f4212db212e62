#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "odbc/trace.h"
#include "trace_capture.h"

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct temp_dir {
    std::string path;
    temp_dir() {
        std::string p = (std::filesystem::temp_directory_path() / "qm_trace_XXXXXX").string();
        path = mkdtemp(&p[0]);
    }
    ~temp_dir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string write(const std::string& name, const std::string& text) const {
        std::ofstream(path + "/" + name, std::ios::binary) << text;
        return path + "/" + name;
    }
};

TEST(TraceSwitches, ReadFromIniText) {
    struct row {
        const char* ini;
        bool enabled;
        unsigned flags;
        const char* file;
    } table[] = {
        {"", true, 0, ""},
        {"[Diagnostics]\n", true, 0, ""},
        {"[Diagnostics]\nTraceEnabled=0\nTraceFlags=32\n", false, 32, ""},
        {"[Diagnostics]\nTraceFlags=0x20\nTraceFile=/tmp/t.log\n", true, 0x20, "/tmp/t.log"},
        {"[diagnostics]\n  traceflags = 48 \r\ntracefile = a b.txt \r\n", true, 48, "a b.txt"},
        {"[Other]\nTraceFlags=32\n[Diagnostics]\nTraceEnabled=1\n", true, 0, ""},
        {"[Diagnostics]\nTraceFlags=32\n[Other]\nTraceFlags=1\n", true, 32, ""},
        {"; comment\n[Diagnostics]\n;TraceFlags=32\nTraceEnabled=junk\n", false, 0, ""},
        {"[Diagnostics]\nTraceFlags=-5\nno equals sign here\n", true, 0, ""},
    };
    temp_dir dir;
    for (const row& r : table) {
        SCOPED_TRACE(r.ini);
        trace_switches sw = read_trace_switches(dir.write("DBTRACE.INI", r.ini));
        EXPECT_EQ(sw.enabled, r.enabled);
        EXPECT_EQ(sw.flags, r.flags);
        EXPECT_EQ(sw.file, r.file);
    }
    trace_switches missing = read_trace_switches(dir.path + "/absent.ini");
    EXPECT_TRUE(missing.enabled);
    EXPECT_EQ(missing.flags, 0u);
}

TEST(TraceChannel, SwitchesGateGeneralAndDatabaseLines) {
    struct row {
        bool enabled;
        unsigned flags;
        const char* expected;
    } table[] = {
        {true, 0, "Error: e\n"},
        {true, traceDatabase, "Error: e\nWarning: w\n"},
        {true, 0x01, "Error: e\n"},
        {false, traceDatabase, ""},
    };
    for (const row& r : table) {
        trace_capture cap(r.flags, r.enabled);
        db_trace("Error: %s\n", "e");
        db_trace_category(traceDatabase, "Warning: %s\n", "w");
        EXPECT_EQ(cap.text(), r.expected) << r.enabled << " " << r.flags;
    }
}

TEST(TraceChannel, WrapsAtEightyCharacters) {
    const std::string a80(80, 'a');
    struct row {
        std::string text;
        std::string expected;
    } table[] = {
        {"", "\n"},
        {"short", "short\n"},
        {a80, a80 + "\n"},
        {a80 + "b", a80 + "\nb\n"},
        {a80 + std::string(80, 'c'), a80 + "\n" + std::string(80, 'c') + "\n"},
        {a80 + a80 + "xyz", a80 + "\n" + a80 + "\nxyz\n"},
    };
    for (const row& r : table) {
        trace_capture cap(0);
        TraceWrapped(r.text);
        EXPECT_EQ(cap.text(), r.expected) << "length " << r.text.size();
    }
}

TEST(TraceChannel, LongLinesNeedNoFixedBuffer) {
    trace_capture cap(0);
    std::string big(100000, 'x');
    db_trace("%s|\n", big.c_str());
    EXPECT_EQ(cap.text(), big + "|\n");
}

// The real channel: DBTRACE.INI in the working directory switches it and
// names the file; nothing may appear on stdout or stderr, which carry the
// mail server's protocol.
TEST(TraceChannel, DbtraceIniInWorkingDirectoryAppendsToTraceFile) {
    temp_dir dir;
    char old_cwd[4096];
    ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    trace_switches saved = current_trace_switches();
    trace_sink previous = set_trace_sink(nullptr);

    dir.write("trace.log", "earlier\n");
    dir.write("DBTRACE.INI",
              "[Diagnostics]\nTraceEnabled=1\nTraceFlags=0x20\nTraceFile=trace.log\n");
    reset_trace_switches();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    db_trace("Error: one\n");
    db_trace_category(traceDatabase, "Warning: two\n");
    TraceWrapped("three");
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
    EXPECT_EQ(read_file(dir.path + "/trace.log"), "earlier\nError: one\nWarning: two\nthree\n");

    // Database category off: its lines are left out, the others still go.
    dir.write("DBTRACE.INI", "[Diagnostics]\nTraceFile=trace2.log\n");
    reset_trace_switches();
    db_trace("Error: a\n");
    db_trace_category(traceDatabase, "Warning: b\n");
    EXPECT_EQ(read_file(dir.path + "/trace2.log"), "Error: a\n");

    // Without a TraceFile the lines are dropped: no file appears anywhere.
    dir.write("DBTRACE.INI", "[Diagnostics]\nTraceFlags=32\n");
    reset_trace_switches();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    db_trace("Error: dropped\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    size_t files = 0;
    for (auto& e : std::filesystem::directory_iterator(dir.path)) (void)e, ++files;
    EXPECT_EQ(files, 3u);  // DBTRACE.INI, trace.log, trace2.log

    // Switched off entirely.
    dir.write("DBTRACE.INI",
              "[Diagnostics]\nTraceEnabled=0\nTraceFlags=32\nTraceFile=trace3.log\n");
    reset_trace_switches();
    db_trace("Error: off\n");
    EXPECT_FALSE(std::filesystem::exists(dir.path + "/trace3.log"));

    set_trace_sink(previous);
    set_trace_switches(saved);
    ASSERT_EQ(chdir(old_cwd), 0);
}

}  // namespace
