// The counters on their own: the exposition a process writes, the sums of
// several, and the folder of counter files with live, dead and already
// folded processes, summed again and again without a count lost or doubled.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "stats/counters.h"
#include "stats/exposition.h"
#include "stats/stats_files.h"

namespace {

namespace fs = std::filesystem;

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_text(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::size_t occurrences(const std::string& text, const std::string& piece) {
    std::size_t n = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++n;
    return n;
}

process_counters some_counts() {
    process_counters c;
    c.checks[static_cast<std::size_t>(counted_check::ok)] = 7;
    c.checks[static_cast<std::size_t>(counted_check::throttled)] = 2;
    c.lookups[static_cast<std::size_t>(lookup_outcome::not_found)] = 1;
    c.query_buckets[0] = 3;
    c.query_buckets[5] = 1;
    c.query_buckets.back() = 1;
    c.query_nanoseconds = 12'600'000'123;
    c.hashes[0] = {"ARGON2ID", 4, 600'000'000};
    return c;
}

// Whatever a process writes reads back as it was, and texts add up: the
// seconds exactly, across the decimal point; histogram buckets stay
// cumulative; HELP and TYPE come once per family.
TEST(Exposition, WrittenReadAndSummed) {
    const std::string one = counters_text(some_counts());
    exposition sum;
    EXPECT_EQ(sum.add(one), 0u);
    EXPECT_EQ(sum.add(one), 0u);
    struct row {
        const char* series;
        double value;
    };
    const row rows[] = {
        {"quillmar_checks_total{outcome=\"ok\"}", 14},
        {"quillmar_checks_total{outcome=\"throttled\"}", 4},
        {"quillmar_checks_total{outcome=\"failed\"}", 0},
        {"quillmar_lookups_total{outcome=\"not_found\"}", 2},
        {"quillmar_db_query_duration_seconds_bucket{le=\"2.5e-05\"}", 6},
        {"quillmar_db_query_duration_seconds_bucket{le=\"0.001\"}", 8},
        {"quillmar_db_query_duration_seconds_bucket{le=\"10\"}", 8},
        {"quillmar_db_query_duration_seconds_bucket{le=\"+Inf\"}", 10},
        {"quillmar_db_query_duration_seconds_count", 10},
        {"quillmar_db_query_duration_seconds_sum", 25.200000246},
        {"quillmar_password_hashes_total{scheme=\"ARGON2ID\"}", 8},
        {"quillmar_password_hash_seconds_total{scheme=\"ARGON2ID\"}", 1.2},
    };
    for (const row& r : rows) EXPECT_DOUBLE_EQ(sum.value_of(r.series), r.value) << r.series;
    const std::string text = sum.text();
    EXPECT_NE(text.find("quillmar_db_query_duration_seconds_sum 25.200000246\n"),
              std::string::npos);
    EXPECT_NE(text.find("quillmar_password_hash_seconds_total{scheme=\"ARGON2ID\"} 1.200000000\n"),
              std::string::npos);
    EXPECT_EQ(occurrences(text, "# TYPE quillmar_checks_total counter\n"), 1u);
    EXPECT_EQ(occurrences(text, "# HELP quillmar_db_query_duration_seconds "), 1u);
    EXPECT_EQ(occurrences(text, "# TYPE"), occurrences(one, "# TYPE"));
}

// A sum past what a count may hold stays at the largest, and whatever is
// written reads back unchanged, as retired.txt is read at every fold.
TEST(Exposition, LargeSumsStayAndReadBack) {
    struct row {
        std::vector<const char*> texts;
        std::size_t skipped;
        const char* written;
    };
    const row rows[] = {
        {{"big 9223372036854775807\n", "big 9223372036854775807\n"},
         0,
         "big 18446744073709551614\n"},
        {{"big 9223372036854775807\n", "big 9223372036854775807\n", "big 2\n"},
         0,
         "big 18446744073709551615\n"},
        {{"big 18446744073709551615\n", "big 18446744073709551616\n"},
         1,
         "big 18446744073709551615\n"},
        {{"sec 18446744073709551615.5\n", "sec 0.6\n"}, 0, "sec 18446744073709551615.999999999\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.written);
        exposition sum;
        std::size_t skipped = 0;
        for (const char* text : r.texts) skipped += sum.add(text);
        EXPECT_EQ(skipped, r.skipped);
        EXPECT_EQ(sum.text(), r.written);
        exposition again;
        EXPECT_EQ(again.add(sum.text()), 0u);
        EXPECT_EQ(again.text(), r.written);
    }
}

// Lines of another writer: families it alone has are kept, labels with
// blanks and braces inside quotes are one series, and a value that is no
// count (negative, an exponent, NaN) or a line that is no sample is skipped
// without taking the rest with it.
TEST(Exposition, ForeignAndBrokenLines) {
    exposition sum;
    const std::string text =
        "# HELP other_total Another's.\n# TYPE other_total counter\n"
        "other_total{path=\"a b}c\",x=\"\\\"\"} 5\n"
        "other_total{path=\"a b}c\",x=\"\\\"\"} 1.5\n"
        "other_total -1\nother_total 1e3\nother_total NaN\nother_total{x=\"open 3\n"
        "{x=\"y\"} 4\nlonely 2 1700000000000\n";
    EXPECT_EQ(sum.add(text), 5u);
    EXPECT_DOUBLE_EQ(sum.value_of("other_total{path=\"a b}c\",x=\"\\\"\"}"), 6.5);
    EXPECT_DOUBLE_EQ(sum.value_of("lonely"), 2);
    sum.set_gauge("up_now", "Now.", 3);
    EXPECT_NE(sum.text().find("# TYPE up_now gauge\nup_now 3\n"), std::string::npos);
}

class StatsFolder : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "qm-stats-XXXXXX").string();
        ASSERT_NE(::mkdtemp(&pattern[0]), nullptr);
        dir_ = pattern;
        process_stats = process_counters{};
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
        process_stats = process_counters{};
    }
    double summed(const std::string& series, std::string* text = nullptr) {
        std::string sum, error;
        EXPECT_TRUE(stats_sum(dir_, sum, error)) << error;
        exposition e;
        e.add(sum);
        if (text) *text = sum;
        return e.value_of(series);
    }
    fs::path dir_;
};

// A live process, a dead one, one whose pid another process has taken since
// (its start time differs), and a file the retired counts already hold: the
// dead ones are folded once and their files go, the live one stays, and
// every sum after gives the same totals.
TEST_F(StatsFolder, LiveDeadAndFoldedFiles) {
    const long self = static_cast<long>(::getpid());
    const unsigned long long start = process_start_ticks(self).value();
    const std::string text = counters_text(some_counts());  // ok 7
    const std::string live = stats_file_name(self, start),
                      reused = stats_file_name(self, start + 1),
                      gone = stats_file_name(999999999, 5), held = stats_file_name(999999998, 5);
    for (const std::string& name : {live, reused, gone, held}) write_text(dir_ / name, text);
    write_text(dir_ / "retired.txt", text + "# absorbed " + held + "\n");
    write_text(dir_ / ".process-1-1.txt.tmp", text);  // a write under way

    const std::string ok = "quillmar_checks_total{outcome=\"ok\"}";
    std::string sum;
    EXPECT_EQ(summed(ok, &sum), 4 * 7);
    EXPECT_NE(sum.find("\nquillmar_processes 1\n"), std::string::npos);
    EXPECT_TRUE(fs::exists(dir_ / live));
    for (const std::string& name : {reused, gone, held}) EXPECT_FALSE(fs::exists(dir_ / name));
    EXPECT_EQ(summed(ok), 4 * 7);
    // The live process ends: its counts join the retired ones.
    fs::remove(dir_ / live);
    stats_start(dir_.string(), std::chrono::seconds(10), stats_clock::now());
    EXPECT_TRUE(fs::exists(dir_ / stats_file_name(self, start)));
    process_stats.checks[static_cast<std::size_t>(counted_check::ok)] = 7;
    stats_finish();
    EXPECT_FALSE(fs::exists(dir_ / live));
    EXPECT_EQ(summed(ok, &sum), 4 * 7);
    EXPECT_NE(sum.find("\nquillmar_processes 0\n"), std::string::npos);
    EXPECT_EQ(read_text(dir_ / "retired.txt").find("# absorbed " + held), std::string::npos);
}

// Between commands a write is due only once the interval has passed.
TEST_F(StatsFolder, WrittenEveryInterval) {
    const stats_clock::time_point t0 = stats_clock::now();
    stats_start(dir_.string(), std::chrono::seconds(10), t0);
    const fs::path own =
        dir_ / stats_file_name(::getpid(), process_start_ticks(::getpid()).value());
    const std::string ok = "quillmar_checks_total{outcome=\"ok\"} ";
    count_check(counted_check::ok);
    stats_tick(t0 + std::chrono::seconds(9));
    EXPECT_NE(read_text(own).find(ok + "0\n"), std::string::npos);
    stats_tick(t0 + std::chrono::seconds(10));
    EXPECT_NE(read_text(own).find(ok + "1\n"), std::string::npos);
    stats_finish();
    EXPECT_FALSE(fs::exists(own));
}

}  // namespace
