// One deadline for each command, 15 s: whatever the database does meanwhile
// (a file locked by another process, a server that takes connections and
// never answers), the command is answered within it and a second, as a
// failure, and the next command is served once the database is back. A new
// authenticator meeting a silent server gives up in the same time. (A query
// slower than MariaDB's read timeout: directory_restart_test.cpp.)
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <memory>

#include "directory_harness.h"

namespace {

using qmdir::ask;
using qmdir::world;
using qmtest::db_kind;
using steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kAnswerBound{16000};

class deadline_test : public qmdir::database_test {
protected:
    // Asks and checks that the answer is a refusal that came in time.
    void expect_refused_in_time(qmtest::child_session& session, const char* what) {
        auto sent = steady::now();
        std::vector<std::string> answer = ask(session, "check bob secret");
        auto took = std::chrono::duration_cast<milliseconds>(steady::now() - sent);
        std::cout << qmtest::db_kind_name(db()) << (fast() ? " fast path" : "") << ", " << what
                  << ": answered after " << took.count() << " ms" << std::endl;
        EXPECT_EQ(answer, qmdir::bob_refused);
        EXPECT_LE(took, kAnswerBound);
    }

    world& standard(world& w) {
        w.standard_table();
        w.write_ini(qmdir::full_ini);
        return w;
    }
};

class DirectoryDeadlineLocked : public deadline_test {};
INSTANTIATE_TEST_SUITE_P(Db, DirectoryDeadlineLocked, qmdir::both_paths({db_kind::sqlite}),
                         qmdir::db_label);

TEST_P(DirectoryDeadlineLocked, FileLockedByAnotherProcess) {
    world w(db());
    standard(w);
    qmtest::child_session session(QM_BINARY, w.options());
    EXPECT_EQ(ask(session, "check bob secret"), qmdir::bob_found);
    {
        std::shared_ptr<void> lock = w.env().lock_exclusive();
        expect_refused_in_time(session, "file locked");
    }
    EXPECT_EQ(ask(session, "check bob secret"), qmdir::bob_found) << w.log_text();
    EXPECT_EQ(session.finish().exit_code, 0);
}

// A file already locked when the authenticator starts (a nightly job that
// rewrites the user table in one transaction): the first connect waits no
// longer than any later one, so the first command is answered (or the
// start given up) within the deadline, and the file is served once the
// lock is gone.
TEST_P(DirectoryDeadlineLocked, FileLockedBeforeStart) {
    world w(db());
    standard(w);
    std::shared_ptr<void> lock = w.env().lock_exclusive();
    auto session = std::make_unique<qmtest::child_session>(QM_BINARY, w.options());
    auto sent = steady::now();
    std::vector<std::string> first = ask(*session, "check bob secret", milliseconds(30000));
    auto took = std::chrono::duration_cast<milliseconds>(steady::now() - sent);
    std::cout << "locked before start" << (fast() ? ", fast path" : "") << ": answered after "
              << took.count() << " ms" << std::endl;
    EXPECT_LE(took, kAnswerBound);
    lock.reset();
    if (!first.empty() && first[0].rfind("-DEAD: ", 0) == 0) {
        session->finish();
        session = std::make_unique<qmtest::child_session>(QM_BINARY, w.options());
    } else {
        EXPECT_EQ(first, qmdir::bob_refused);
    }
    EXPECT_EQ(ask(*session, "check bob secret"), qmdir::bob_found) << w.log_text();
    EXPECT_EQ(session->finish().exit_code, 0);
}

class DirectoryDeadlineSilent : public deadline_test {};
INSTANTIATE_TEST_SUITE_P(Db, DirectoryDeadlineSilent,
                         qmdir::both_paths({db_kind::postgres, db_kind::mariadb}), qmdir::db_label);

TEST_P(DirectoryDeadlineSilent, ServerStoppedMidSessionAndAtStartUp) {
    const char* name = db() == db_kind::postgres ? "pg" : "mariadb";
    qmdir::own_servers servers(name);
    ASSERT_TRUE(servers.started);
    world w(db(), servers.env_file());
    standard(w);
    qmtest::child_session session(QM_BINARY, w.options());
    EXPECT_EQ(ask(session, "check bob secret"), qmdir::bob_found);

    ASSERT_TRUE(servers.run({"signal", servers.dir, name, "STOP"}));
    expect_refused_in_time(session, "server silent");
    auto started = steady::now();
    qmtest::child_result starting = w.run("check bob secret\nquit\n");
    auto took = std::chrono::duration_cast<milliseconds>(steady::now() - started);
    std::cout << qmtest::db_kind_name(db()) << ", server silent at start-up: ended after "
              << took.count() << " ms" << std::endl;
    EXPECT_EQ(starting.out.rfind("-DEAD: ", 0), 0u) << starting.out;
    EXPECT_LE(took, kAnswerBound);
    ASSERT_TRUE(servers.run({"signal", servers.dir, name, "CONT"}));

    EXPECT_EQ(ask(session, "check bob secret"), qmdir::bob_found) << w.log_text();
    EXPECT_EQ(session.finish().exit_code, 0);
}

}  // namespace
