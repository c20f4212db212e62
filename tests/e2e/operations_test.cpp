// The tools for production through the whole program: the counters of
// several processes (one ended, one alive, one killed) summed by -stats and
// read by Prometheus's own parser (Debian's python3-prometheus-client); and
// -flush reaching the answer caches of three running processes after a
// password changed in the table.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "directory_harness.h"

namespace {

namespace fs = std::filesystem;
using qmdir::ask;
using qmdir::world;

// Parses with the real parser, holds each histogram to its rules (buckets
// cumulative, +Inf last and equal to _count) and HELP and TYPE to once per
// family, and prints every sample as `name{sorted labels} value`.
const char* const parse_script = R"(
import collections, sys
from prometheus_client.parser import text_string_to_metric_families
text = sys.stdin.read()
for kind in ('# HELP ', '# TYPE '):
    names = [l.split()[2] for l in text.splitlines() if l.startswith(kind)]
    twice = [n for n, c in collections.Counter(names).items() if c > 1]
    assert not twice, twice
for family in text_string_to_metric_families(text):
    if family.type == 'histogram':
        buckets = [s for s in family.samples if s.name.endswith('_bucket')]
        values = [s.value for s in buckets]
        assert values == sorted(values), family.name
        assert buckets[-1].labels['le'] == '+Inf', family.name
        count = [s.value for s in family.samples if s.name.endswith('_count')]
        assert count == [buckets[-1].value], family.name
    for s in family.samples:
        labels = ','.join('%s="%s"' % kv for kv in sorted(s.labels.items()))
        print('%s{%s} %r' % (s.name, labels, s.value))
)";

std::map<std::string, double> parsed(const std::string& exposition) {
    qmtest::child_options o;
    o.args = {"-c", parse_script};
    qmtest::child_result r = qmtest::run_child("/usr/bin/python3", exposition, o);
    EXPECT_EQ(r.exit_code, 0) << "python3-prometheus-client (scripts/deps.sh installs it): "
                              << r.err;
    std::map<std::string, double> samples;
    std::istringstream lines(r.out);
    std::string series;
    double value;
    while (lines >> series >> value) samples[series] = value;
    return samples;
}

std::vector<std::string> process_files(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().filename().string().rfind("process-", 0) == 0)
            names.push_back(entry.path().filename().string());
    return names;
}

// One process ends with quit, one stays alive, one is killed: the sum
// holds each as last written, the killed one's counts are folded into the
// retired ones once and never counted twice, and every sum after that
// gives the same totals until a process counts more.
TEST(ProcessCounters, SummedAcrossProcesses) {
    world w;
    w.standard_table();
    const fs::path folder = fs::path(w.env().dir()) / "stats";
    fs::create_directory(folder);
    w.write_ini(std::string(qmdir::full_ini) +
                "cache_ttl 600\ncache_negative_ttl 60\nstats_interval 1\nstats_path " +
                folder.string() + "\n");
    {
        qmtest::child_session a(QM_BINARY, w.options());
        for (const char* command :
             {"check bob secret", "check bob secret", "check bob wrong", "check bob wrong",
              "check ann pw 192.168.1.1", "check twin a", "lookup bob", "lookup zed"})
            ask(a, command);
        EXPECT_EQ(a.finish().exit_code, 0);
    }
    // Written at start, then before the first command once a second has passed.
    qmtest::child_session alive(QM_BINARY, w.options());
    ask(alive, "check bob secret");
    ask(alive, "check nobody x");
    qmtest::child_session killed(QM_BINARY, w.options());
    ask(killed, "check bob secret");
    ask(killed, "check cat meow");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const std::vector<std::string> before = process_files(folder);
    ask(alive, "lookup bob");
    ask(killed, "lookup cat");
    ASSERT_EQ(before.size(), 2u);
    // The one to kill is the one whose file counts two logins by now.
    long victim = 0;
    for (const std::string& name : before) {
        std::ifstream in(folder / name);
        std::stringstream text;
        text << in.rdbuf();
        if (text.str().find("quillmar_checks_total{outcome=\"ok\"} 2\n") != std::string::npos)
            victim = std::stol(name.substr(8));
    }
    ASSERT_NE(victim, 0);
    ASSERT_EQ(::kill(static_cast<pid_t>(victim), SIGKILL), 0);
    killed.finish();

    std::map<std::string, double> expected = {
        {"quillmar_checks_total{outcome=\"ok\"}", 5},
        {"quillmar_checks_total{outcome=\"wrong_password\"}", 3},
        {"quillmar_checks_total{outcome=\"mask\"}", 1},
        {"quillmar_checks_total{outcome=\"refused_value\"}", 1},
        {"quillmar_checks_total{outcome=\"unknown_user\"}", 0},
        {"quillmar_checks_total{outcome=\"throttled\"}", 0},
        {"quillmar_checks_total{outcome=\"failed\"}", 0},
        {"quillmar_lookups_total{outcome=\"found\"}", 1},
        {"quillmar_lookups_total{outcome=\"not_found\"}", 1},
        {"quillmar_cache_answers_total{entry=\"fresh\"}", 2},
        {"quillmar_cache_answers_total{entry=\"negative\"}", 1},
        {"quillmar_db_query_duration_seconds_count{}", 9},
        {"quillmar_db_query_duration_seconds_bucket{le=\"+Inf\"}", 9},
        {"quillmar_db_query_failures_total{}", 0},
        {"quillmar_processes{}", 1},
    };
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        if (round == 2) {
            // The live one ends: what it counted since its last write joins.
            EXPECT_EQ(alive.finish().exit_code, 0);
            expected["quillmar_lookups_total{outcome=\"found\"}"] += 1;
            expected["quillmar_cache_answers_total{entry=\"fresh\"}"] += 1;
            expected["quillmar_processes{}"] = 0;
        }
        // The folder by argument, and by stats_path from the ini file.
        qmtest::child_result r =
            w.run("", round == 1 ? std::vector<std::string>{"-stats"}
                                 : std::vector<std::string>{"-stats", folder.string()});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        std::map<std::string, double> samples = parsed(r.out);
        for (const auto& [series, value] : expected) EXPECT_EQ(samples[series], value) << series;
        EXPECT_GT(samples["quillmar_db_query_duration_seconds_sum{}"], 0);
    }
    EXPECT_TRUE(process_files(folder).empty());
    EXPECT_TRUE(fs::exists(folder / "retired.txt"));

    qmtest::child_result r = w.run("", {"-stats", folder.string() + "/none"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("counters not read"), std::string::npos) << r.err;
}

// squid's helper protocol and checkpassword ask through the same module
// table as the line protocol, and are counted alike: a squid helper's
// checks, and checkpassword's logins whether the program runs (the counts
// are written before it replaces the process) or the login is refused.
TEST(ProcessCounters, OtherProtocolsCounted) {
    using namespace std::string_literals;
    world w;
    w.standard_table();
    const fs::path folder = fs::path(w.env().dir()) / "stats";
    fs::create_directory(folder);
    w.write_ini(std::string(qmdir::full_ini) + "stats_path " + folder.string() + "\n");
    qmtest::child_result r =
        w.run("0 bob secret\n1 bob wrong\n2 nobody x\n", {"-protocol", "squid"});
    EXPECT_EQ(r.out, "0 OK\n1 ERR\n2 ERR\n");
    for (const auto& [login, status] :
         {std::pair{"bob\0secret\0"s, 0}, std::pair{"bob\0wrong\0"s, 1}}) {
        qmtest::child_options options = w.options({"-protocol", "checkpassword", "/bin/true"});
        options.in_child = [data = login] {
            int p[2];
            if (::pipe(p) != 0 || ::write(p[1], data.data(), data.size()) < 0) ::_exit(125);
            ::close(p[1]);
            if (p[0] != 3) {
                ::dup2(p[0], 3);
                ::close(p[0]);
            }
        };
        EXPECT_EQ(qmtest::run_child(QM_BINARY, "", options).exit_code, status);
    }
    r = w.run("", {"-stats"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::map<std::string, double> samples = parsed(r.out);
    EXPECT_EQ(samples["quillmar_checks_total{outcome=\"ok\"}"], 2);
    EXPECT_EQ(samples["quillmar_checks_total{outcome=\"wrong_password\"}"], 3);
    EXPECT_EQ(samples["quillmar_db_query_duration_seconds_count{}"], 5);
    EXPECT_EQ(samples["quillmar_processes{}"], 0);
}

// Three processes keep bob's login; the password changes in the table and
// the old one goes on working from each cache, until -flush: then every
// process refuses the old password and takes the new one at once. The name
// is flushed as the cache keys it: the default domain attached, and in any
// letter case. Then every entry, and a flush file removed under the
// running processes and made again.
TEST(CacheFlushAcrossProcesses, PasswordChangeTakesEffectAtOnce) {
    world w;
    w.exec(
        "CREATE TABLE maildb ([user] TEXT COLLATE NOCASE, pass TEXT, fwd TEXT, quota TEXT, mask "
        "TEXT, [drop] TEXT);"
        "INSERT INTO maildb VALUES ('bob@example.org', 'old', NULL, NULL, NULL, NULL);"
        "INSERT INTO maildb VALUES ('ann@example.org', 'pw', NULL, NULL, NULL, NULL);");
    const std::string flush_file = w.env().dir() + "/run/flush";
    w.write_ini(std::string(qmdir::full_ini) +
                "domain example.org\ncache_ttl 600\ncache_negative_ttl 60\ncache_flush_path " +
                flush_file + "\n");
    std::vector<std::unique_ptr<qmtest::child_session>> sessions;
    for (int i = 0; i < 3; ++i)
        sessions.push_back(std::make_unique<qmtest::child_session>(QM_BINARY, w.options()));
    const std::string bob_ok = "+OK bob@example.org config 0\r\n",
                      ann_ok = "+OK ann@example.org config 0\r\n";
    auto every = [&](const std::string& command, const std::string& answer, const char* when) {
        for (std::size_t i = 0; i < sessions.size(); ++i) {
            std::vector<std::string> lines = ask(*sessions[i], command);
            ASSERT_FALSE(lines.empty());
            // "-ERR" stands for any refusal.
            const std::string got = answer == "-ERR" ? lines.back().substr(0, 4) : lines.back();
            EXPECT_EQ(got, answer) << when << ": process " << i << " " << command;
        }
    };
    auto flush = [&](std::vector<std::string> args) {
        qmtest::child_result r = w.run("", std::move(args));
        EXPECT_EQ(r.exit_code, 0) << r.err;
        return r.out;
    };
    every("check bob old", bob_ok, "kept");
    ask(*sessions[1], "check Bob old");  // a second entry, named otherwise
    every("check ann pw", ann_ok, "kept");
    w.exec("UPDATE maildb SET pass='new' WHERE [user]='bob@example.org'");
    every("check bob old", bob_ok, "before the flush");

    EXPECT_EQ(
        flush({"-flush", "BOB"}),
        "flushed BOB@example.org from the answer cache of every process (" + flush_file + ")\n");
    every("check Bob old", "-ERR", "after -flush BOB");
    every("check bob old", "-ERR", "after -flush BOB");
    every("check bob new", bob_ok, "after -flush BOB");
    every("check ann pw", ann_ok, "ann kept");

    w.exec("UPDATE maildb SET pass='pw2' WHERE [user]='ann@example.org'");
    flush({"-flush"});
    every("check ann pw", "-ERR", "after -flush");
    every("check ann pw2", ann_ok, "after -flush");

    fs::remove(flush_file);
    every("check bob new", bob_ok, "file removed");
    w.exec("UPDATE maildb SET pass='newer' WHERE [user]='bob@example.org'");
    flush({"-flush", "bob@example.org"});
    every("check bob new", "-ERR", "file made again");
    every("check bob newer", bob_ok, "file made again");
    for (auto& s : sessions) EXPECT_EQ(s->finish().exit_code, 0);
}

}  // namespace
