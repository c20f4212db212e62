// Counters of a burst reach the disk while the process waits for more: each
// front end that serves many requests (the line protocol, squid's helper,
// the service's workers) answers a burst, then hears nothing; -stats must
// show the burst within the interval and a margin, and the files must stay
// as they are while nothing more is counted.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "peer_harness.h"
#include "service_harness.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int burst = 20;
const std::string ok_sample = "quillmar_checks_total{outcome=\"ok\"} ";

// When each process file was last written.
std::map<std::string, long long> written_times(const fs::path& folder) {
    std::map<std::string, long long> times;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        struct stat st {};
        if (name.rfind("process-", 0) == 0 && ::stat(entry.path().c_str(), &st) == 0)
            times[name] = st.st_mtim.tv_sec * 1'000'000'000LL + st.st_mtim.tv_nsec;
    }
    return times;
}

// A front end kept running through the test, with its burst already answered.
struct running {
    std::unique_ptr<qmtest::child_session> session;
    std::unique_ptr<qmsvc::service> service;
    std::unique_ptr<qmsvc::auth_client> client;
};

struct front_end_case {
    const char* name;
    std::function<void(qmdir::world&, const std::string& settings, running&)> serve_burst;
};

void line_protocol(qmdir::world& w, const std::string& settings, running& r) {
    w.write_ini(std::string(qmdir::full_ini) + settings);
    r.session = std::make_unique<qmtest::child_session>(QM_BINARY, w.options());
    for (int i = 0; i < burst; ++i)
        ASSERT_EQ(qmdir::ask(*r.session, "check bob secret"), qmdir::bob_found);
}

void squid_helper(qmdir::world& w, const std::string& settings, running& r) {
    w.write_ini(std::string(qmdir::full_ini) + settings);
    r.session =
        std::make_unique<qmtest::child_session>(QM_BINARY, w.options({"-protocol", "squid"}));
    for (int i = 0; i < burst; ++i) {
        ASSERT_TRUE(r.session->write(std::to_string(i) + " bob secret\n"));
        ASSERT_EQ(r.session->read_line(), std::to_string(i) + " OK\n");
    }
}

// Two workers, and names that reach both.
void service_workers(qmdir::world& w, const std::string& settings, running& r) {
    r.service = std::make_unique<qmsvc::service>(w, "workers 2\n" + settings);
    ASSERT_TRUE(r.service->ready()) << r.service->log();
    r.client = std::make_unique<qmsvc::auth_client>(r.service->auth_socket());
    const char* const users[][2] = {
        {"alice", "wonderland"}, {"bob", "builder"}, {"carol", "c4r0l"}};
    for (unsigned id = 1; id <= burst; ++id) {
        const auto& user = users[id % 3];
        r.client->plain(id, user[0], user[1], "\trip=192.168.1.1");
        ASSERT_EQ(r.client->line().rfind("OK\t" + std::to_string(id) + "\t", 0), 0u);
    }
}

TEST(IdleCounters, BurstWrittenWithinTheIntervalOfQuiet) {
    const std::vector<front_end_case> cases = {
        {"line protocol", line_protocol},
        {"squid helper", squid_helper},
        {"service workers", service_workers},
    };
    for (const front_end_case& c : cases) {
        SCOPED_TRACE(c.name);
        qmdir::world w;
        if (std::string(c.name) == "service workers")
            qmsvc::fill_table(w);
        else
            w.standard_table();
        const fs::path folder = fs::path(w.env().dir()) / "stats";
        fs::create_directory(folder);
        const std::string settings = "stats_interval 1\nstats_path " + folder.string() + "\n";
        running r;
        c.serve_burst(w, settings, r);
        if (HasFatalFailure()) return;
        const auto quiet_from = std::chrono::steady_clock::now();

        const std::string expected = ok_sample + std::to_string(burst) + "\n";
        std::string shown;
        const bool summed = qmpeer::wait_until(
            [&] {
                qmtest::child_result stats = w.run("", {"-stats", folder.string()});
                shown = stats.out;
                return stats.exit_code == 0 && shown.find("\n" + expected) != std::string::npos;
            },
            3s);
        EXPECT_TRUE(summed) << shown;
        if (!summed) continue;
        EXPECT_LE(std::chrono::steady_clock::now() - quiet_from, 2500ms);

        // Nothing counted since: nothing written, however many intervals pass.
        const std::map<std::string, long long> before = written_times(folder);
        EXPECT_FALSE(before.empty());
        std::this_thread::sleep_for(1500ms);
        EXPECT_EQ(written_times(folder), before);
    }
}

}  // namespace
