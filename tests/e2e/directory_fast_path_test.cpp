// The fast path seen from the driver manager's call trace: with
// odbc_fast_path on, a run of checks of one shape lists the catalog once,
// prepares once and executes once a check; a lookup in between costs its own
// prepare, and the check after it finds its catalog check still standing.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "directory_harness.h"

namespace {

using qmdir::world;

class DirectoryFastPath : public qmdir::database_test {};
INSTANTIATE_TEST_SUITE_P(Db, DirectoryFastPath,
                         qmdir::both_paths({qmdir::db_kind::sqlite, qmdir::db_kind::postgres,
                                            qmdir::db_kind::mariadb}),
                         qmdir::db_label);

// Calls of the traced program by function: each call is logged on entry
// ("Entry:") and exit, under a header line naming the function's source file.
std::map<std::string, int> traced_calls(const std::string& path) {
    std::map<std::string, int> calls;
    std::ifstream in(path);
    std::string line, header;
    while (std::getline(in, line)) {
        if (line.find("Entry:") != std::string::npos && !header.empty()) ++calls[header];
        header.clear();
        std::size_t end = line.find(".c]");
        if (line.rfind("[ODBC]", 0) == 0 && end != std::string::npos) {
            std::size_t start = line.rfind('[', end);
            header = line.substr(start + 1, end - start - 1);
        }
    }
    return calls;
}

TEST_P(DirectoryFastPath, OnePrepareAndOneExecutionPerCheck) {
    world w(db());
    w.standard_table();
    w.write_ini(qmdir::full_ini);
    const std::string trace = w.env().dir() + "/odbc_trace.log";
    w.env().enable_dm_trace(trace);
    qmtest::child_result r = w.run(
        "check bob secret\ncheck ann pw 10.0.0.1\ncheck bob wrong\ncheck dan x\ncheck eve y\n"
        "lookup bob\ncheck bob secret\nquit\n");
    w.env().enable_dm_trace("");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    // The same answers either way.
    EXPECT_EQ(r.out,
              "+OK bob /var/mail/bob 0 quota=\"100\"\r\n"
              "+OK ann config 0 fwd=\"fwdbox\" quota=\"100\"\r\n"
              "-ERR bob password wrong or not a valid user\r\n"
              "+OK dan config 0\r\n"
              "+OK eve config 0\r\n"
              "+OK bob /var/mail/bob 0 quota=\"100\"\r\n"
              "+OK bob /var/mail/bob 0 quota=\"100\"\r\n"
              "+OK\r\n");

    // Six checks and one lookup. Without the key each command lists the
    // catalog, prepares, and executes twice (the open, then the requery).
    // With it: the check shape is prepared at the first check and again after
    // the lookup, the lookup shape once; each command executes once; the
    // catalog is listed once for each shape.
    struct counts {
        int columns, prepares, executions;
    };
    const counts expected = fast() ? counts{2, 3, 7} : counts{7, 7, 14};
    std::map<std::string, int> calls = traced_calls(trace);
    EXPECT_EQ(calls["SQLColumns"], expected.columns);
    EXPECT_EQ(calls["SQLPrepare"], expected.prepares);
    EXPECT_EQ(calls["SQLExecute"], expected.executions);
    // SQLite's wait for a locked file, set once at connect.
    EXPECT_EQ(calls["SQLExecDirect"], db() == qmdir::db_kind::sqlite ? 1 : 0);
}

}  // namespace
