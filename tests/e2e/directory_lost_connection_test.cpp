// Connections the server closes under a running authenticator: killed by an
// administrator, dropped after the server's idle timeout, or lost to a
// restart. The command that meets the closed connection must be served as
// any other, never answered as a wrong password. QM_LOST_CONNECTION_CYCLES
// sets how many times each is done (the test command runs a few).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <thread>

#include "directory_harness.h"

namespace {

using qmdir::ask;
using qmdir::world;
using qmtest::db_kind;

int cycles(int by_default) {
    const char* n = std::getenv("QM_LOST_CONNECTION_CYCLES");
    return n ? std::max(1, std::atoi(n)) : by_default;
}

class DirectoryLostConnection : public qmdir::database_test {
protected:
    // Closes the connection `count` times, each followed by a check with the
    // right password, and counts the answers that are not bob's row.
    void expect_served(world& w, const char* what, int count, const std::function<void()>& close) {
        qmtest::child_session session(QM_BINARY, w.options());
        ASSERT_EQ(ask(session, "check bob secret"), qmdir::bob_found);
        int wrong = 0;
        for (int i = 0; i < count; ++i) {
            close();
            if (ask(session, "check bob secret") != qmdir::bob_found) ++wrong;
        }
        std::cout << qmtest::db_kind_name(db()) << (fast() ? " fast path" : "") << ", " << what
                  << ": " << count << " cycles, " << wrong << " wrong answers" << std::endl;
        EXPECT_EQ(wrong, 0) << w.log_text();
        // Every error line names its cause, a statement refused on the dead
        // connection included.
        EXPECT_EQ(w.log_text().find("(code -2)  "), std::string::npos) << w.log_text();
        EXPECT_EQ(ask(session, "check bob wrong"), qmdir::bob_refused);
        EXPECT_EQ(session.finish().exit_code, 0);
    }

    static world& standard(world& w) {
        w.standard_table();
        w.write_ini(qmdir::full_ini);
        return w;
    }
};
INSTANTIATE_TEST_SUITE_P(Db, DirectoryLostConnection,
                         qmdir::both_paths({db_kind::postgres, db_kind::mariadb}), qmdir::db_label);

TEST_P(DirectoryLostConnection, KilledByTheServer) {
    world w(db());
    standard(w);
    expect_served(w, "killed connection", cycles(10), [&] {
        if (db() == db_kind::postgres) {
            w.exec(
                "SELECT pg_terminate_backend(pid, 5000) FROM pg_stat_activity "
                "WHERE datname = current_database() AND pid <> pg_backend_pid()");
            return;
        }
        std::string id = w.scalar(
            "SELECT id FROM information_schema.processlist "
            "WHERE db = DATABASE() AND id <> CONNECTION_ID()");
        w.exec("KILL CONNECTION " + id);
        // The command comes a moment later, when the client side has seen
        // the server close.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    });
}

TEST_P(DirectoryLostConnection, ClosedByTheIdleTimeout) {
    world w(db());
    std::chrono::milliseconds idle_for{1500};
    if (db() == db_kind::postgres) {
        w.exec("ALTER DATABASE " + w.server().name() + " SET idle_session_timeout = '300ms'");
        idle_for = std::chrono::milliseconds(600);
    } else {
        w.add_dsn_setting("INITSTMT", "SET SESSION wait_timeout = 1");
    }
    standard(w);
    expect_served(w, "idle timeout", cycles(3), [&] { std::this_thread::sleep_for(idle_for); });
}

TEST_P(DirectoryLostConnection, LostToARestart) {
    qmdir::own_servers servers(db() == db_kind::postgres ? "pg" : "mariadb");
    ASSERT_TRUE(servers.started);
    world w(db(), servers.env_file());
    standard(w);
    expect_served(w, "restart", cycles(2), [&] {
        ASSERT_TRUE(servers.halt());
        ASSERT_TRUE(servers.resume());
    });
}

}  // namespace
