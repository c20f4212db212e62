// The throttle: addresses and networks read and cut to what is counted, its
// keys, the table's rules walked step by step on a clock of the test's own,
// and the file shared by two throttles as by two processes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "dbwrap/log_capture.h"
#include "throttle/throttle.h"

namespace {

client_address address(const char* text) {
    std::optional<client_address> a = read_client_address(text);
    EXPECT_TRUE(a) << text;
    return a.value_or(client_address{});
}

TEST(ThrottleAddresses, ReadAndWrittenInOneForm) {
    struct row {
        const char* text;
        const char* written;  // null: no address
        bool v4;
    };
    const row rows[] = {
        {"192.0.2.7", "192.0.2.7", true},
        {"::ffff:192.0.2.7", "192.0.2.7", true},
        {"2001:DB8:0:0:0:0:0:1", "2001:db8::1", false},
        {"::1", "::1", false},
        {"", nullptr, false},
        {"192.0.2.7 ", nullptr, false},
        {"192.0.2", nullptr, false},
        {"192.0.2.7:25", nullptr, false},
        {"fe80::1%eth0", nullptr, false},
        {"x rip=10.9.9.9", nullptr, false},
        {"mail.example.org", nullptr, false},
        {"1111:2222:3333:4444:5555:6666:7777:8888:9999", nullptr, false},
        {"0000:0000:0000:0000:0000:ffff:255.255.255.255", "255.255.255.255", true},
    };
    for (const row& r : rows) {
        std::optional<client_address> a = read_client_address(r.text);
        ASSERT_EQ(a.has_value(), r.written != nullptr) << r.text;
        if (!a) continue;
        EXPECT_EQ(address_text(*a), r.written) << r.text;
        EXPECT_EQ(a->v4, r.v4) << r.text;
    }
}

TEST(ThrottleAddresses, NetworksHoldTheirAddresses) {
    struct row {
        const char* network;
        const char* address;
        bool inside;
    };
    const row rows[] = {
        {"10.0.0.0/8", "10.200.1.1", true},
        {"10.0.0.0/8", "11.0.0.1", false},
        {"10.1.2.3/8", "10.9.9.9", true},
        {"10.0.0.0/8", "::ffff:10.1.1.1", true},
        {"192.0.2.7", "192.0.2.7", true},
        {"192.0.2.7", "192.0.2.8", false},
        {"2001:db8::/32", "2001:db8:ffff::1", true},
        {"2001:db8::/32", "2001:db9::1", false},
        {"::1", "::1", true},
        {"::1", "127.0.0.1", false},
        {"0.0.0.0/0", "203.0.113.9", true},
        {"0.0.0.0/0", "2001:db8::1", false},
        // A prefix counts in the form it is written in.
        {"::ffff:192.0.2.0/120", "192.0.2.9", true},
        {"::ffff:192.0.2.0/120", "::ffff:192.0.2.9", true},
        {"::ffff:192.0.2.0/120", "192.0.3.9", false},
        {"::ffff:192.0.2.0/24", "198.51.100.1", true},
    };
    for (const row& r : rows) {
        std::optional<address_network> n = read_network(r.network);
        ASSERT_TRUE(n) << r.network;
        EXPECT_EQ(in_network(address(r.address), *n), r.inside) << r.network << " " << r.address;
    }
    for (const char* wrong :
         {"10.0.0.0/33", "2001:db8::/129", "10.0.0.0/", "10.0.0.0/x", "/8", "10.0.0.0/8/8",
          "host.example", "10.0.0.0/+8", "10.0.0.0/ 8", "2001:db8::/99999999999999999999"})
        EXPECT_FALSE(read_network(wrong)) << wrong;
}

TEST(ThrottleAddresses, CountedByAddressOrIpv6Prefix) {
    struct row {
        const char* address;
        unsigned ipv6_bits;
        const char* counted;
    };
    const row rows[] = {
        {"192.0.2.7", 64, "192.0.2.7"},
        {"::ffff:192.0.2.7", 48, "192.0.2.7"},
        {"2001:db8:1:2:3:4:5:6", 64, "2001:db8:1:2::/64"},
        {"2001:db8:1:2:ffff::", 64, "2001:db8:1:2::/64"},
        {"2001:db8:1:2:3:4:5:6", 48, "2001:db8:1::/48"},
        {"2001:db8:1:2:3:4:5:6", 56, "2001:db8:1::/56"},
        {"2001:db8:1:2ff:3:4:5:6", 56, "2001:db8:1:200::/56"},
        {"2001:db8:1:2:3:4:5:6", 128, "2001:db8:1:2:3:4:5:6"},
    };
    for (const row& r : rows)
        EXPECT_EQ(network_text(counted_network(address(r.address), r.ipv6_bits)), r.counted)
            << r.address << "/" << r.ipv6_bits;
}

TEST(ThrottleKeys, ValuesTakenOrRefusedWithALine) {
    struct row {
        const char* key;
        const char* value;
        bool taken;
    };
    const row rows[] = {
        {"auth_failure_limit", "10 300", true},
        {"AUTH_FAILURE_LIMIT", "5\t 60", true},
        {"auth_failure_limit", "0 0", true},
        {"auth_failure_limit", "10", false},
        {"auth_failure_limit", "10 0", false},
        {"auth_failure_limit", "40000 60", false},
        {"auth_failure_limit", "-1 60", false},
        {"auth_failure_limit", "10 300 5", false},
        {"auth_failure_limit", "10 604801", false},
        {"auth_failure_ipv6_prefix", "48", true},
        {"auth_failure_ipv6_prefix", "0", false},
        {"auth_failure_ipv6_prefix", "129", false},
        {"auth_trusted_networks", "127.0.0.1, ::1 10.0.0.0/8", true},
        {"auth_trusted_networks", "10.0.0.0/8 nonsense", false},
        {"auth_trusted_networks", "::ffff:192.0.2.0/120", true},
        {"auth_trusted_networks", "::ffff:0:0/96", true},
        {"auth_trusted_networks", "::ffff:0:0/95", false},
        {"auth_trusted_networks", "10.0.0.0/8 ::ffff:10.0.0.0/8", false},
        {"auth_failure_table", "/tmp/table", true},
    };
    log_capture log;
    for (const row& r : rows) {
        throttle_settings settings, before;
        log.clear();
        EXPECT_EQ(throttle_load(settings, r.key, r.value), 1) << r.key;
        EXPECT_EQ(log.messages().empty(), r.taken) << r.key << " " << r.value;
        if (!r.taken) {
            EXPECT_EQ(settings.rules.limit, before.rules.limit);
            EXPECT_EQ(settings.ipv6_bits, before.ipv6_bits);
            EXPECT_EQ(settings.trusted.size(), 0u);
        }
    }
    throttle_settings settings;
    throttle_load(settings, "auth_failure_limit", "5\t 60");
    throttle_load(settings, "auth_trusted_networks", "127.0.0.1, ::1 10.0.0.0/8");
    throttle_load(settings, "auth_failure_ipv6_prefix", "48");
    EXPECT_EQ(settings.rules.limit, 5u);
    EXPECT_EQ(settings.rules.window, 60u);
    EXPECT_EQ(settings.trusted.size(), 3u);
    EXPECT_EQ(settings.ipv6_bits, 48u);
    EXPECT_EQ(throttle_load(settings, "auth_failure", "1"), 0);
}

// A table in memory of the test's own.
struct memory_table {
    explicit memory_table(failure_rules rules)
        : memory(failure_table_layout::bytes / 8 + 1, 0), table(init(), rules) {}
    void* init() {
        failure_table::initialise(memory.data());
        return memory.data();
    }
    std::vector<std::uint64_t> memory;
    failure_table table;
};

address_network counted(const char* text) { return counted_network(address(text), 64); }

// Each step: at a time, a failure (with its user and password) or a
// question (no password), and what it must come to.
struct step {
    std::uint32_t now;
    const char* address;
    const char* user;
    const char* password;  // null: the question before a check
    failure_counted counted = failure_counted::counted;
    bool refused = false;
    long ended = -1;  // the refusals an end line counts; -1: no end
};

void walk(failure_table& table, const std::vector<step>& steps) {
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const step& s = steps[i];
        ended_throttle ended;
        if (s.password)
            EXPECT_EQ(static_cast<int>(
                          table.failed(counted(s.address), s.user, s.password, s.now, ended)),
                      static_cast<int>(s.counted))
                << "step " << i;
        else
            EXPECT_EQ(table.refuses(counted(s.address), s.now, ended), s.refused) << "step " << i;
        EXPECT_EQ(ended.any, s.ended >= 0) << "step " << i;
        if (ended.any) {
            EXPECT_EQ(static_cast<long>(ended.refused), s.ended) << "step " << i;
            ASSERT_TRUE(ended.network) << "step " << i;
            EXPECT_EQ(network_text(*ended.network), network_text(counted(s.address)))
                << "step " << i;
        }
    }
}

constexpr failure_counted began = failure_counted::throttle_began;
constexpr failure_counted repeated = failure_counted::repeated;

TEST(ThrottleTable, CountsRepeatsWindowsAndPrefixes) {
    memory_table t({3, 60});
    walk(t.table, {
                      {100, "192.0.2.1", "alice", "p1"},
                      {101, "192.0.2.1", "alice", "p1", repeated},
                      {102, "192.0.2.1", "x", nullptr},
                      {102, "192.0.2.1", "bob", "p1"},
                      {103, "192.0.2.1", "alice", "p2", began},
                      {104, "192.0.2.1", "x", nullptr, {}, true},
                      {104, "192.0.2.2", "x", nullptr, {}, false},
                      {150, "192.0.2.1", "x", nullptr, {}, true},
                      {162, "192.0.2.1", "x", nullptr, {}, true},
                      {163, "192.0.2.1", "x", nullptr, {}, false, 3},
                      {163, "192.0.2.1", "alice", "p3"},
                      // A window begins at its first failure; one that is
                      // over starts the count again.
                      {200, "2001:db8:1:2::5", "u", "p1"},
                      {230, "2001:db8:1:2::9", "u", "p2"},
                      {261, "2001:db8:1:2::5", "u", "p3"},
                      {262, "2001:db8:1:2::9", "u", "p4"},
                      {263, "2001:db8:1:3::5", "u", "p5"},
                      {264, "2001:db8:1:2::5", "u", "p6", began},
                      {265, "2001:db8:1:2:ffff::1", "x", nullptr, {}, true},
                      {265, "2001:db8:1:3::5", "x", nullptr, {}, false},
                      // A clock behind the table's (a machine started anew)
                      // ends what the table held.
                      {10, "2001:db8:1:2::5", "x", nullptr, {}, false, 1},
                  });
}

TEST(ThrottleTable, SweepEndsThrottlesNobodyAsksFor) {
    memory_table t({1, 10});
    walk(t.table,
         {{100, "198.51.100.4", "u", "p", began}, {101, "198.51.100.4", "x", nullptr, {}, true}});
    std::vector<std::string> ends;
    auto on_end = [&](const ended_throttle& e) {
        ends.push_back(network_text(e.network.value()) + " " + std::to_string(e.refused));
    };
    std::uint32_t next = 0;
    for (std::uint32_t i = 0; i < 8; ++i) next = t.table.sweep(next, 512, 105, on_end);
    EXPECT_TRUE(ends.empty());
    for (std::uint32_t i = 0; i < 8; ++i) next = t.table.sweep(next, 512, 110, on_end);
    EXPECT_EQ(ends, std::vector<std::string>{"198.51.100.4 1"});
    for (std::uint32_t i = 0; i < 8; ++i) next = t.table.sweep(next, 512, 111, on_end);
    EXPECT_EQ(ends.size(), 1u);
}

// Counting slots make room for new addresses; live throttles never do.
TEST(ThrottleTable, AFullTableKeepsItsThrottles) {
    for (std::uint32_t limit : {1u, 2u}) {
        memory_table t({limit, 600});
        std::vector<address_network> throttled;
        int no_room = 0;
        for (std::uint32_t i = 0; i < 6000; ++i) {
            client_address a = address("10.0.0.0");
            a.bytes[13] = static_cast<std::uint8_t>(i >> 8);
            a.bytes[14] = static_cast<std::uint8_t>(i);
            const address_network n = counted_network(a, 64);
            ended_throttle ended;
            const failure_counted c = t.table.failed(n, "u", "p", 100, ended);
            if (c == began) throttled.push_back(n);
            if (c == failure_counted::no_room) ++no_room;
        }
        if (limit == 1) {
            EXPECT_GT(no_room, 0);
            EXPECT_LE(throttled.size(), failure_table_layout::slot_count);
        } else {
            EXPECT_EQ(no_room, 0);
            EXPECT_TRUE(throttled.empty());
        }
        for (const address_network& n : throttled) {
            ended_throttle ended;
            EXPECT_TRUE(t.table.refuses(n, 101, ended)) << network_text(n);
        }
    }
}

// A process that died between claiming a slot and writing its state leaves
// a state of another tag: it reads as a fresh slot, and counting goes on.
TEST(ThrottleTable, AHalfMadeSlotStartsAfresh) {
    memory_table t({2, 60});
    walk(t.table, {{100, "192.0.2.9", "u", "p1"}});
    auto* slots = reinterpret_cast<failure_table_layout::slot*>(
        reinterpret_cast<unsigned char*>(t.memory.data()) + failure_table_layout::slots_offset);
    int changed = 0;
    for (std::uint32_t i = 0; i < failure_table_layout::slot_count; ++i)
        if (slots[i].state) {
            slots[i].state ^= 0xfffeULL << 48;
            ++changed;
        }
    ASSERT_EQ(changed, 1);
    walk(t.table, {{101, "192.0.2.9", "x", nullptr, {}, false},
                   {101, "192.0.2.9", "u", "p1"},
                   {102, "192.0.2.9", "u", "p2", began}});
}

// Two throttles on one file, as two processes.
class ThrottleFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "qm-thr-XXXXXX").string();
        ASSERT_NE(::mkdtemp(&pattern[0]), nullptr);
        dir_ = pattern;
        settings_.table_path = dir_ + "/table";
        throttle_load(settings_, "auth_failure_limit", "2 600");
        throttle_load(settings_, "auth_trusted_networks", "10.0.0.0/8");
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    static void after_a_look() { std::this_thread::sleep_for(std::chrono::milliseconds(150)); }

    std::string dir_;
    throttle_settings settings_;
    log_capture log_;
};

TEST_F(ThrottleFile, SharedRemovedAndMadeAgain) {
    failure_throttle one(settings_), two(settings_);
    const client_address guesser = address("192.0.2.1"), trusted = address("10.1.1.1");
    struct stat file {};
    ASSERT_EQ(::stat(settings_.table_path.c_str(), &file), 0);
    EXPECT_EQ(file.st_mode & 0777, 0600u);
    for (int round = 0; round < 2; ++round) {
        one.failed(guesser, "u", "p1");
        EXPECT_FALSE(two.refuses(guesser));
        two.failed(guesser, "u", "p2");
        EXPECT_TRUE(one.refuses(guesser)) << round;
        EXPECT_TRUE(two.refuses(guesser)) << round;
        one.failed(trusted, "u", "p1");
        two.failed(trusted, "u", "p2");
        EXPECT_FALSE(one.refuses(trusted));
        // Removed under both: the first to look makes it again, empty, and
        // the other takes the new one.
        ASSERT_EQ(std::remove(settings_.table_path.c_str()), 0);
        after_a_look();
        EXPECT_FALSE(two.refuses(guesser)) << round;
        EXPECT_FALSE(one.refuses(guesser)) << round;
        EXPECT_EQ(::stat(settings_.table_path.c_str(), &file), 0);
    }
    const std::vector<std::string> lines = log_.messages();
    int on = 0, anew = 0;
    for (const std::string& line : lines) {
        on += line ==
              "Throttle on for 192.0.2.1: 2 failed checks within 600 s; its checks are "
              "refused for 600 s";
        anew += line.find("was removed or replaced: made anew") != std::string::npos;
    }
    EXPECT_EQ(on, 2);
    EXPECT_EQ(anew, 2);
}

// What is found at the path: a table of ours is taken as it is; a file of
// ours that is no table (cut short, of another size, with a header not
// ours) is replaced by a new table, with a notice; anything another user
// owns or could write, or a link, is never taken: checks go unthrottled,
// with one error line. A root process trusts its own tables and those of
// the folder's owner, nobody else's.
TEST_F(ThrottleFile, WhatIsFoundAtThePathIsTakenReplacedOrRefused) {
    const std::string path = settings_.table_path, real = dir_ + "/real";
    const uid_t nobody = 65534;
    // Sizes: no file, a table made by a throttle, one cut to 100 bytes.
    constexpr long none = -1, table = -2, table_cut = -3;
    struct row {
        const char* name;
        long size;
        mode_t mode;
        uid_t folder, owner;  // 0: the test's own user
        bool link;            // the path a link to the file
        bool taken, replaced;
        const char* problem;  // the one error line; null: none
    };
    const row rows[] = {
        {"missing", none, 0600, 0, 0, false, true, false, nullptr},
        {"own table", table, 0600, 0, 0, false, true, false, nullptr},
        {"cut short", 0, 0600, 0, 0, false, true, true, nullptr},
        {"another size", table_cut, 0600, 0, 0, false, true, true, nullptr},
        {"not ours", 100, 0600, 0, 0, false, false, false, "is not a throttle table"},
        {"unknown header", failure_table_layout::bytes, 0600, 0, 0, false, true, true, nullptr},
        {"written by others", table, 0620, 0, 0, false, false, false, "may be written by other"},
        {"another user's", table, 0600, 0, nobody, false, false, false, "belongs to another user"},
        {"the folder owner's", table, 0600, nobody, nobody, false, true, false, nullptr},
        {"a link", table, 0600, 0, 0, true, false, false, "cannot be opened: Too many levels"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        if ((r.folder || r.owner) && ::geteuid() != 0) continue;
        std::filesystem::remove(path);
        std::filesystem::remove(real);
        ASSERT_EQ(::chown(dir_.c_str(), r.folder ? r.folder : ::geteuid(), ::getegid()), 0);
        const std::string file = r.link ? real : path;
        if (r.size == table || r.size == table_cut) {
            settings_.table_path = file;
            failure_throttle made(settings_);
            settings_.table_path = path;
            if (r.size == table_cut) std::filesystem::resize_file(file, 100);
        } else if (r.size != none) {
            std::ofstream(file).close();
            std::filesystem::resize_file(file, static_cast<std::uintmax_t>(r.size));
        }
        if (r.size != none) {
            ASSERT_EQ(::chmod(file.c_str(), r.mode), 0);
            ASSERT_EQ(::chown(file.c_str(), r.owner ? r.owner : ::geteuid(), ::getegid()), 0);
        }
        if (r.link) std::filesystem::create_symlink(real, path);
        struct stat before {};
        ::lstat(path.c_str(), &before);
        log_.clear();
        {
            failure_throttle throttle(settings_);
            const client_address guesser = address("192.0.2.1");
            for (int i = 0; i < 2; ++i) throttle.failed(guesser, "u", "p" + std::to_string(i));
            EXPECT_EQ(throttle.refuses(guesser), r.taken);
            after_a_look();
            EXPECT_EQ(throttle.refuses(guesser), r.taken);
        }
        struct stat after {};
        ASSERT_EQ(::lstat(path.c_str(), &after), 0);
        EXPECT_EQ(r.size != none && after.st_ino != before.st_ino, r.replaced);
        // Its room is had when it is made: a full disk later kills no one.
        EXPECT_TRUE(!r.taken || after.st_blocks * 512 >= after.st_size);
        int errors = 0, said = 0, notices = 0;
        for (const std::string& line : log_.messages()) {
            errors += line.rfind("ERROR: ", 0) == 0;
            if (r.problem)
                said += line.rfind("ERROR: Throttle: table (" + path + ") " + r.problem, 0) == 0;
            notices += line.find("replaced by a new one, counts start again") != std::string::npos;
        }
        EXPECT_EQ(errors, r.problem ? 1 : 0);
        EXPECT_EQ(said, r.problem ? 1 : 0);
        EXPECT_EQ(notices, r.replaced ? 1 : 0);
    }
}

// Cut to nothing in place under the processes that map it, as an
// administrator resetting the counts would: no process dies, and the first
// to notice makes a new table that all take.
TEST_F(ThrottleFile, CutShortUnderItsReaders) {
    throttle_load(settings_, "auth_failure_limit", "5 600");
    failure_throttle one(settings_), two(settings_);
    const client_address guesser = address("192.0.2.1");
    one.failed(address("192.0.2.2"), "u", "p");  // its pages in use when cut
    ASSERT_EQ(::truncate(settings_.table_path.c_str(), 0), 0);
    for (int i = 0; i < 8; ++i) (i % 2 ? two : one).failed(guesser, "u", "p" + std::to_string(i));
    EXPECT_TRUE(one.refuses(guesser));
    EXPECT_TRUE(two.refuses(guesser));
    struct stat file {};
    ASSERT_EQ(::stat(settings_.table_path.c_str(), &file), 0);
    EXPECT_EQ(static_cast<std::size_t>(file.st_size), failure_table_layout::bytes);

    // Cut again and again from another process while checks run: a cut
    // that falls inside a check kills nothing either.
    const pid_t cutter = ::fork();
    ASSERT_GE(cutter, 0);
    if (cutter == 0) {
        for (int i = 0; i < 300; ++i) {
            ::truncate(settings_.table_path.c_str(), 0);
            ::usleep(1000);
        }
        ::_exit(0);
    }
    int status = 0, checks = 0;
    while (::waitpid(cutter, &status, WNOHANG) == 0) {
        const client_address a = address(("198.51.100." + std::to_string(checks % 200)).c_str());
        one.failed(a, "u", std::to_string(checks));
        two.refuses(a);
        ++checks;
    }
    EXPECT_GT(checks, 300);
}

// A table that cannot have its room, on a full tmpfs of its own, is as
// none: one error line, checks unthrottled, and no process killed by its
// first write to the table.
TEST_F(ThrottleFile, ATableWithoutRoomIsNone) {
    const std::string small = dir_ + "/small";
    ASSERT_EQ(::mkdir(small.c_str(), 0700), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0)
            ::_exit(77);
        const int filler = ::open((small + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
        const std::vector<char> block(4096, 'x');
        while (::write(filler, block.data(), block.size()) > 0) {
        }
        settings_.table_path = small + "/table";
        throttle_load(settings_, "auth_failure_limit", "5 600");
        failure_throttle throttle(settings_);
        const client_address guesser = address("192.0.2.1");
        for (int i = 0; i < 8; ++i) throttle.failed(guesser, "u", "p" + std::to_string(i));
        after_a_look();
        if (throttle.refuses(guesser)) ::_exit(1);
        int errors = 0;
        const std::string made = "ERROR: Throttle: table (" + small + "/table) cannot be made: ";
        for (const std::string& line : log_.messages()) {
            if (line.rfind("ERROR: ", 0) == 0) errors += line.rfind(made, 0) == 0 ? 1 : 2;
        }
        ::_exit(errors == 1 ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no tmpfs of our own: mounting needs CAP_SYS_ADMIN";
    EXPECT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: throttled, 2: not one error line";
}

}  // namespace
