// The flush file on its own: what a follower learns from the flushes
// written, look by look, and how it fares when the file is removed, broken,
// left half-written by a writer that died, or overrun.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "flush/cache_flush.h"

namespace {

namespace fs = std::filesystem;

class CacheFlush : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "qm-flush-XXXXXX").string();
        ASSERT_NE(::mkdtemp(&pattern[0]), nullptr);
        dir_ = pattern;
        path_ = (dir_ / "run" / "flush").string();
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    void flush(const std::optional<std::string>& user) {
        std::string error;
        ASSERT_TRUE(write_cache_flush(path_, user, error)) << error;
    }
    fs::path dir_;
    std::string path_;
};

TEST(CacheFlushHash, NamesFoldedToLowerCase) {
    EXPECT_EQ(flush_user_hash("Bob@Example.ORG"), flush_user_hash("bob@example.org"));
    // A CHAR column's padding, and a name a database took for the row without its blanks.
    EXPECT_EQ(flush_user_hash("bob@example.org   "), flush_user_hash("bob@example.org"));
    EXPECT_NE(flush_user_hash(" bob@example.org"), flush_user_hash("bob@example.org"));
    EXPECT_NE(flush_user_hash("bob@example.org"), flush_user_hash("bob2@example.org"));
    EXPECT_NE(flush_user_hash("\xC3\x89ve"), flush_user_hash("\xC3\xA9ve"));  // ASCII alone
    EXPECT_NE(flush_user_hash(""), 0u);
}

// Each step changes the file, then the follower looks; what it learns.
TEST_F(CacheFlush, WhatEachLookFinds) {
    const std::uint64_t bob = flush_user_hash("bob"), ann = flush_user_hash("ann");
    // Written before the follower starts: none of its business.
    flush(std::string("old"));
    flush(std::nullopt);
    flush_clock::time_point now{std::chrono::hours(1)};
    flush_follower follower(path_, now);

    struct step {
        const char* what;
        std::function<void()> change;
        bool all;
        std::vector<std::uint64_t> users;
    };
    const std::vector<step> steps = {
        {"nothing new", [] {}, false, {}},
        {"one user", [&] { flush(std::string("bob")); }, false, {bob}},
        {"two users",
         [&] {
             flush(std::string("ann"));
             flush(std::string("bob"));
         },
         false,
         {ann, bob}},
        {"every entry", [&] { flush(std::nullopt); }, true, {}},
        {"more than the ring holds",
         [&] {
             for (int i = 0; i < 70; ++i) flush("u" + std::to_string(i));
         },
         true,
         {}},
        // The file's own flushes from its making on are replayed.
        {"removed, then made again by a flush",
         [&] {
             fs::remove(path_);
             flush(std::string("ann"));
         },
         false,
         {ann}},
        {"removed and not made again", [&] { fs::remove(path_); }, false, {}},
        {"back after a while", [&] { flush(std::string("bob")); }, false, {bob}},
        // A writer that died between the record and the counter leaves
        // nothing counted; the next writer takes its generation.
        {"a writer died half-way",
         [&] {
             int fd = ::open(path_.c_str(), O_RDWR);
             const std::uint64_t half[2] = {2, flush_user_hash("ghost")};
             ASSERT_EQ(::pwrite(fd, half, sizeof half, 16 + 2 * sizeof half), 16);
             ::close(fd);
         },
         false,
         {}},
        {"the next writer", [&] { flush(std::string("ann")); }, false, {ann}},
        {"the file broken", [&] { std::ofstream(path_, std::ios::trunc) << "garbage"; }, false, {}},
        {"mended by the next flush", [&] { flush(std::string("bob")); }, false, {bob}},
    };
    for (const step& s : steps) {
        SCOPED_TRACE(s.what);
        s.change();
        EXPECT_FALSE(follower.due(now + flush_look_interval - std::chrono::milliseconds(1)));
        now += flush_look_interval;
        ASSERT_TRUE(follower.due(now));
        const flush_news news = follower.look(now);
        EXPECT_EQ(news.all, s.all);
        if (!s.all) {
            EXPECT_EQ(news.users, s.users);
        }
    }
}

// A follower that starts before the file exists replays the whole file
// once it appears; -flush makes the folder it lives in.
TEST_F(CacheFlush, FileMadeAfterStart) {
    flush_clock::time_point now{std::chrono::hours(1)};
    flush_follower follower(path_, now);
    flush(std::string("bob"));
    // Readable by the folder's group alone: who changed a password is no
    // business of other users.
    EXPECT_EQ(fs::status(path_).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    const flush_news news = follower.look(now + flush_look_interval);
    EXPECT_EQ(news.users, std::vector<std::uint64_t>{flush_user_hash("bob")});
    EXPECT_GE(flush_settle_time(), flush_look_interval);
}

// Root flushes in a folder given to the mail server's group, as the
// packaged layout gives /run/quillmar to the service's: the file is that
// group's to read and no one else's, a file an earlier version left
// readable by every user included. Each reader is a child with a user and
// group of its own that follows the file and is told of a flush.
TEST_F(CacheFlush, ReadByTheFoldersGroupAlone) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files and processes other users";
    const fs::path folder = dir_ / "run";
    fs::create_directory(folder);
    const gid_t mail_group = 65534;
    ASSERT_EQ(::chmod(dir_.c_str(), 0755) | ::chmod(folder.c_str(), 0755), 0);
    ASSERT_EQ(::chown(folder.c_str(), 0, mail_group), 0);
    struct reader_case {
        const char* what;
        bool earlier_file;  // a world-readable file of an earlier version was there
        uid_t uid;
        gid_t gid;
        bool told;
    };
    const reader_case cases[] = {
        {"a user of the folder's group", false, 65534, mail_group, true},
        {"a user of another group", false, 65533, 65533, false},
        {"another group, the earlier file mended", true, 65533, 65533, false},
    };
    for (const reader_case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(path_);
        flush(std::nullopt);
        if (c.earlier_file) {
            ASSERT_EQ(::chmod(path_.c_str(), 0644) | ::chown(path_.c_str(), 0, 0), 0);
        }
        // The child follows from before the flush, which root, the parent,
        // writes in between: ready one way, flushed the other.
        int ready[2], flushed[2];
        ASSERT_EQ(::pipe(ready), 0);
        ASSERT_EQ(::pipe(flushed), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            const bool dropped =
                ::setgroups(0, nullptr) == 0 && ::setgid(c.gid) == 0 && ::setuid(c.uid) == 0;
            const flush_clock::time_point now{std::chrono::hours(1)};
            flush_follower follower(path_, now);
            char byte = 0;
            if (::write(ready[1], &byte, 1) != 1 || ::read(flushed[0], &byte, 1) != 1) ::_exit(3);
            ::_exit(!dropped ? 2 : follower.look(now + flush_look_interval).any() ? 0 : 1);
        }
        char byte = 0;
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        flush(std::string("bob"));
        ASSERT_EQ(::write(flushed[1], &byte, 1), 1);
        for (int fd : {ready[0], ready[1], flushed[0], flushed[1]}) ::close(fd);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.told ? 0 : 1);
        struct stat file {};
        ASSERT_EQ(::stat(path_.c_str(), &file), 0);
        EXPECT_EQ(file.st_mode & 07777, 0640u);
        EXPECT_EQ(file.st_gid, mail_group);
    }
}

}  // namespace
