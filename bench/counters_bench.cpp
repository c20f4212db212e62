// What the counters cost a check: a fast-path check and a cached check
// through the whole authenticator on SQLite, with stats_path unset and set
// (every second here, a tenth of the default interval, so that the writes
// show), beside the same checks of another build without counters
// (--baseline, e.g. main's) when one is given. For each check the clock's
// time and the authenticator's processor time (/proc/PID/schedstat), which
// the waits of a shared machine do not blur; the sessions take turns in
// blocks of 50. Then, in this process, the steps the counters add to each
// command (the coarse clock, the interval's and the flush file's tests, the
// bumps; for a query also its clock readings and histogram) in a loop, and
// one write of a counter file. The lines "counters and throttle" have the
// throttle on as well (a table on tmpfs, failure lines on), so that the two
// together show against the baseline; every check carries a client address
// for it, one of 250.
//
//   counters_bench [--checks N] [--users N] [--baseline PATH] [--binary PATH]
//                  [--stats-folder DIR (default /dev/shm)]
#include <dirent.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "flush/cache_flush.h"
#include "stats/counters.h"
#include "stats/stats_files.h"
#include "support/child_process.h"

#include "bench_database.h"

namespace {

using clock_type = std::chrono::steady_clock;

std::string argument(int argc, char** argv, const char* name, const char* fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
    return fallback;
}

std::uint64_t processor_ns(long pid) {
    std::FILE* file = std::fopen(("/proc/" + std::to_string(pid) + "/schedstat").c_str(), "r");
    unsigned long long ns = 0;
    if (!file || std::fscanf(file, "%llu", &ns) != 1) ns = 0;
    if (file) std::fclose(file);
    return ns;
}

// The child of this process started last and not yet taken.
long new_child(std::set<long>& taken) {
    long found = -1;
    if (DIR* proc = ::opendir("/proc")) {
        while (const dirent* entry = ::readdir(proc)) {
            const long pid = std::atol(entry->d_name);
            if (pid <= 0 || taken.count(pid)) continue;
            std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
            std::string text((std::istreambuf_iterator<char>(stat)), {});
            const std::size_t close = text.rfind(')');
            long parent = 0;
            char state = 0;
            if (close == std::string::npos ||
                std::sscanf(text.c_str() + close + 1, " %c %ld", &state, &parent) != 2)
                continue;
            if (parent == static_cast<long>(::getpid()) && pid > found) found = pid;
        }
        ::closedir(proc);
    }
    taken.insert(found);
    return found;
}

struct figures {
    double median = 0, mean = 0;
};

figures summarise(std::vector<double> values) {
    figures f;
    if (values.empty()) return f;
    for (double v : values) f.mean += v;
    f.mean /= static_cast<double>(values.size());
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    f.median = values[values.size() / 2];
    return f;
}

struct measured {
    std::string label;
    std::unique_ptr<qmtest::child_session> session;
    long pid = -1;
    std::vector<double> clock_us, processor_us;

    void check(const std::string& line) {
        const std::uint64_t before = processor_ns(pid);
        const auto start = clock_type::now();
        if (!session->write(line)) throw std::runtime_error(label + ": authenticator gone");
        std::vector<std::string> answer = session->read_answer();
        const double us =
            std::chrono::duration<double, std::micro>(clock_type::now() - start).count();
        if (answer.empty() || answer.back().rfind("+OK", 0) != 0)
            throw std::runtime_error(label + ": check refused: " + line);
        clock_us.push_back(us);
        processor_us.push_back(static_cast<double>(processor_ns(pid) - before) / 1000.0);
    }
};

std::string random_word(std::mt19937& rng, std::size_t length) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::uniform_int_distribution<std::size_t> letter(0, sizeof letters - 2);
    std::string word(length, 'a');
    for (char& c : word) c = letters[letter(rng)];
    return word;
}

// Nanoseconds a loop of `rounds` calls of `step` takes, a call.
template <typename Step>
double nanoseconds_each(long rounds, Step step) {
    const auto start = clock_type::now();
    for (long i = 0; i < rounds; ++i) step();
    return std::chrono::duration<double, std::nano>(clock_type::now() - start).count() /
           static_cast<double>(rounds);
}

clock_type::time_point coarse_now() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
    return clock_type::time_point(std::chrono::seconds(t.tv_sec) +
                                  std::chrono::nanoseconds(t.tv_nsec));
}

}  // namespace

int main(int argc, char** argv) {
    const long checks = std::atol(argument(argc, argv, "--checks", "20000").c_str());
    const long user_count = std::atol(argument(argc, argv, "--users", "2000").c_str());
    const std::string binary = argument(argc, argv, "--binary", QM_BINARY);
    const std::string baseline = argument(argc, argv, "--baseline", "");
    std::mt19937 rng(20261208);

    qmbench::bench_database world;
    if (!world.open("sqlite")) return 2;
    odbc_env& env = world.env;
    std::vector<std::pair<std::string, std::string>> users;
    std::string sql =
        "CREATE TABLE maildb ([user] VARCHAR(128), pass VARCHAR(128), maildrop VARCHAR(255));"
        "CREATE UNIQUE INDEX maildb_user ON maildb ([user]);BEGIN;";
    for (long i = 0; i < user_count; ++i) {
        users.emplace_back(random_word(rng, 10) + std::to_string(i) + "@example.org",
                           random_word(rng, 12));
        sql += "INSERT INTO maildb VALUES ('" + users.back().first + "','" + users.back().second +
               "','/var/mail/" + users.back().first + "');";
    }
    world.exec(sql + "COMMIT");

    const std::string columns =
        "field_username [user]\nfield_password pass\nfield_maildrop maildrop\n"
        "odbc_fast_path true\n";
    const std::string cache = "cache_ttl 3600\ncache_size " + std::to_string(user_count) + "\n";
    // On tmpfs, as under /run: on a disk file system the rename of each
    // write waits for its data to be written out.
    std::string folder_pattern =
        argument(argc, argv, "--stats-folder", "/dev/shm") + "/qm-counters-XXXXXX";
    if (!::mkdtemp(&folder_pattern[0])) throw std::runtime_error("no folder " + folder_pattern);
    const std::string stats_folder = folder_pattern;
    const std::string stats = "stats_interval 1\nstats_path " + stats_folder + "\n";
    struct line {
        std::string label, program, ini;
        bool cached;
    };
    std::vector<line> lines;
    if (!baseline.empty()) {
        lines.push_back({"fast path, baseline", baseline, columns, false});
        lines.push_back({"cached, baseline", baseline, columns + cache, true});
    }
    lines.push_back({"fast path, no stats_path", binary, columns, false});
    lines.push_back({"fast path, stats_path", binary, columns + stats, false});
    lines.push_back({"cached, no stats_path", binary, columns + cache, true});
    lines.push_back({"cached, stats_path", binary, columns + cache + stats, true});
    const std::string throttle =
        "log_auth_failures true\nauth_failure_limit 10 300\n"
        "auth_failure_table " +
        stats_folder + "/auth-failures\n";
    lines.push_back({"fast path, with throttle", binary, columns + stats + throttle, false});
    lines.push_back({"cached, with throttle", binary, columns + cache + stats + throttle, true});

    std::vector<measured> sessions(lines.size());
    std::set<long> taken;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string folder = env.dir() + "/s" + std::to_string(i);
        mkdir(folder.c_str(), 0700);
        env.write_file("s" + std::to_string(i) + "/quillmar.ini", lines[i].ini);
        sessions[i].label = lines[i].label;
        sessions[i].session = std::make_unique<qmtest::child_session>(
            lines[i].program, world.authenticator_options(folder));
        sessions[i].pid = new_child(taken);
    }
    std::uniform_int_distribution<std::size_t> pick(0, users.size() - 1);
    auto line_for = [&](std::size_t u) {
        return "check " + users[u].first + " " + users[u].second + " 192.0.2." +
               std::to_string(u % 250 + 1) + "\n";
    };
    // Every user once, so that each check of a cached line is a hit.
    for (measured& s : sessions) {
        for (std::size_t u = 0; u < users.size(); ++u) s.check(line_for(u));
        s.clock_us.clear();
        s.processor_us.clear();
    }
    const long block = 50;
    for (long done = 0; done < checks; done += block)
        for (measured& s : sessions)
            for (long i = 0; i < block; ++i) s.check(line_for(pick(rng)));
    for (measured& s : sessions) s.session->finish();

    std::printf("SQLite, %ld users, %ld checks a line; microseconds, median (mean)\n", user_count,
                checks);
    std::printf("%-28s %20s %20s %22s\n", "check", "by the clock", "processor time",
                "processor, + baseline");
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        const measured& s = sessions[i];
        figures c = summarise(s.clock_us), p = summarise(s.processor_us);
        std::printf("%-28s %10.2f (%7.2f) %10.2f (%7.2f)", s.label.c_str(), c.median, c.mean,
                    p.median, p.mean);
        // The baseline's line of the same kind of check.
        if (!baseline.empty() && i >= 2) {
            const figures b = summarise(sessions[lines[i].cached ? 1 : 0].processor_us);
            std::printf(" %+10.2f (%+7.2f)", p.median - b.median, p.mean - b.mean);
        }
        std::printf("\n");
    }

    // The steps themselves, without the pipes and the rest of a check.
    const long rounds = 20'000'000;
    flush_follower follower(env.dir() + "/no-flush-file", clock_type::now());
    volatile bool due = false;
    const double cached_steps = nanoseconds_each(rounds, [&] {
        const auto now = coarse_now();
        stats_tick(now);
        due = follower.due(now);
        count_check(counted_check::ok);
        count_cache_answer(cache_source::fresh);
    });
    const double query_steps = nanoseconds_each(rounds, [&] {
        const auto start = clock_type::now();
        count_query(clock_type::now() - start, false);
        due = coarse_now() >= start;  // the deadline's test at the command's end
    });
    process_stats = process_counters{};
    stats_start(stats_folder, std::chrono::seconds(3600), clock_type::now());
    const double write_us =
        nanoseconds_each(2000, [&] { stats_write_due(clock_type::now()); }) / 1000;
    stats_finish();
    // A look at the flush file, as each process makes at most ten times a second.
    std::string flush_error;
    const std::string flush_file = stats_folder + "/flush";
    if (!write_cache_flush(flush_file, std::nullopt, flush_error))
        throw std::runtime_error(flush_error);
    flush_follower looking(flush_file, clock_type::now());
    const double look_us =
        nanoseconds_each(20000, [&] { due = looking.look(clock_type::now()).any(); }) / 1000;
    std::printf(
        "in this process: a cached check's counting steps %.1f ns, a query's besides %.1f ns; "
        "one write of a counter file in %s %.1f us; a look at the flush file %.2f us\n",
        cached_steps, query_steps, stats_folder.c_str(), write_us, look_us);
    std::error_code ignored;
    std::filesystem::remove_all(stats_folder, ignored);
    return 0;
}
