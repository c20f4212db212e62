// The counters' folder and the flush file's folder as someone who may write
// them leaves them for root's tools: a link under each name we make or read,
// pointing at a file that stands in for /etc/shadow, a hard link, another
// user's file. Whatever root runs there (a sum, a process's counters, a
// flush, a follower's look) must neither write the target nor read it.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "flush/cache_flush.h"
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

const std::string ok_series = "quillmar_checks_total{outcome=\"ok\"}";

// Counters that say 5 right passwords: the target's text, so that a sum
// that read it shows.
std::string counted_five() {
    process_counters c;
    c.checks[static_cast<std::size_t>(counted_check::ok)] = 5;
    return counters_text(c);
}

class PlantedLinks : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "qm-planted-XXXXXX").string();
        ASSERT_NE(::mkdtemp(&pattern[0]), nullptr);
        dir_ = pattern;
        fs::create_directory(dir_ / "stats");
        fs::create_directory(dir_ / "run");
        process_stats = process_counters{};
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
        process_stats = process_counters{};
    }
    // The ok count of a sum of the stats folder.
    double summed_ok() {
        std::string sum, error;
        EXPECT_TRUE(stats_sum((dir_ / "stats").string(), sum, error)) << error;
        exposition e;
        e.add(sum);
        return e.value_of(ok_series);
    }
    fs::path dir_;
};

TEST_F(PlantedLinks, NeitherFollowedNorWrittenThrough) {
    const long self = static_cast<long>(::getpid());
    const std::string own = stats_file_name(self, process_start_ticks(self).value());
    const std::string dead = stats_file_name(999999999, 5);
    const fs::path stats = dir_ / "stats", flush = dir_ / "run" / "flush";
    const std::string flush_path = flush.string();
    // What each tool does there; true when what it showed came from the target.
    auto summed = [&] { return summed_ok() != 0; };
    auto start_and_exit = [&] {
        stats_start(stats.string(), std::chrono::seconds(10), stats_clock::now());
        stats_finish();
        return summed();
    };
    auto flushed = [&] {
        std::string error;
        EXPECT_TRUE(write_cache_flush(flush_path, std::string("bob"), error)) << error;
        return fs::is_symlink(flush);
    };
    // A flush file of its own as the target: one that a writer following
    // the link would take and write a record into.
    auto flush_file = [&] {
        std::string error;
        EXPECT_TRUE(write_cache_flush((dir_ / "elsewhere").string(), std::nullopt, error));
        const std::string text = read_text(dir_ / "elsewhere");
        fs::remove(dir_ / "elsewhere");
        return text;
    };

    enum class plant { symlink, hard_link, others_file };
    struct planted_case {
        const char* what;
        fs::path at;
        plant kind;
        std::function<std::string()> target_text;
        std::function<bool()> run;
        bool target_kept = true;  // false where the case writes the target itself
    };
    const planted_case cases[] = {
        {"the retired counts' old temporary name, at a fold", stats / ".retired.txt.tmp",
         plant::symlink, counted_five,
         [&] {
             std::ofstream(stats / dead) << counters_text(process_counters{});
             return summed();
         }},
        {"a process's old temporary name", stats / ("." + own + ".tmp"), plant::symlink,
         counted_five, start_and_exit},
        {"the retired counts", stats / "retired.txt", plant::symlink, counted_five, summed},
        {"the retired counts, at a process's exit", stats / "retired.txt", plant::symlink,
         counted_five, start_and_exit},
        {"a process file", stats / dead, plant::symlink, counted_five, summed},
        {"a process file with another name", stats / dead, plant::hard_link, counted_five, summed},
        {"a process file of another user", stats / dead, plant::others_file, counted_five, summed},
        {"the flush file's old temporary name", flush_path + "." + std::to_string(self) + ".new",
         plant::symlink, counted_five, flushed},
        {"the flush file, at a flush", flush, plant::symlink, flush_file, flushed},
        {"the flush file, at a follower's look", flush, plant::symlink, flush_file,
         [&] {
             const flush_clock::time_point now{std::chrono::hours(1)};
             flush_follower follower(flush_path, now);
             std::string error;
             EXPECT_TRUE(write_cache_flush((dir_ / "target").string(), std::nullopt, error));
             return follower.look(now + flush_look_interval).any();
         },
         false},
    };
    for (const planted_case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.kind == plant::others_file && ::geteuid() != 0) continue;
        const fs::path target = dir_ / "target";
        const std::string text = c.target_text();
        std::ofstream(target, std::ios::binary) << text;
        fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
        if (c.kind == plant::symlink) fs::create_symlink(target, c.at);
        if (c.kind == plant::hard_link) fs::create_hard_link(target, c.at);
        if (c.kind == plant::others_file) {
            fs::copy_file(target, c.at);
            ASSERT_EQ(::chown(c.at.c_str(), 65534, 65534), 0);
        }
        const bool shown = c.run();
        if (c.target_kept) {
            EXPECT_EQ(read_text(target), text);
            EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
                      fs::perms::owner_read | fs::perms::owner_write);
        }
        EXPECT_FALSE(shown);
        for (const fs::path& folder : {stats, flush.parent_path()})
            for (const fs::directory_entry& entry : fs::directory_iterator(folder))
                fs::remove(entry.path());
        fs::remove(target);
    }
}

}  // namespace
