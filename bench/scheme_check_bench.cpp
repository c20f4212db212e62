// A check per password scheme through the whole authenticator, driven over
// pipes as a mail server drives it. For each check: its time by the clock,
// the processor time the authenticator spent on it (the kernel's account of
// it), and the part of that spent inside the hash library's call (read by
// the hash_timer library preloaded into the authenticator). Then the same
// checks with the library stood in for by the timer (each answer given from
// memory after the first): all of our own code runs and no hash, so that is
// our own cost, set beside the check of a {PLAIN} value (the goal) and of
// today's table (no default_pass_scheme, the database compares the
// password). Processor time is what the goal is judged on: on a machine
// others share, a check may wait for the processor, which blurs the clock by
// more than the goal. Last, an unknown user beside a known user's wrong
// password on ARGON2ID, by the clock: their medians must not tell them apart.
//
//   scheme_check_bench [--db sqlite|postgres|mariadb] [--checks N] [--argon-checks N]
//                      [--fast-path on|off|both]
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "schemes/schemes.h"
#include "support/child_process.h"
#include "support/db_servers.h"
#include "support/odbc_env.h"

#include "bench_database.h"

namespace {

using clock_type = std::chrono::steady_clock;

struct hash_times {
    std::atomic<std::uint64_t> nanoseconds, calls, process_id;
};

// The file the preloaded library adds its times to, mapped here too.
class shared_times {
public:
    explicit shared_times(const std::string& path) : path_(path) {
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || ftruncate(fd, 4096) != 0) throw std::runtime_error("cannot make " + path);
        void* map = mmap(nullptr, sizeof(hash_times), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        if (map == MAP_FAILED) throw std::runtime_error("cannot map " + path);
        times_ = static_cast<hash_times*>(map);
    }
    ~shared_times() { munmap(times_, sizeof(hash_times)); }
    std::uint64_t nanoseconds() const { return times_->nanoseconds; }
    std::uint64_t calls() const { return times_->calls; }
    std::uint64_t process_id() const { return times_->process_id; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    hash_times* times_ = nullptr;
};

struct figures {
    double median = 0, p99 = 0;
};

figures summarise(std::vector<double> values) {
    figures f;
    if (values.empty()) return f;
    std::sort(values.begin(), values.end());
    f.median = values[values.size() / 2];
    f.p99 = values[std::min(values.size() - 1, values.size() * 99 / 100)];
    return f;
}

std::string random_word(std::mt19937& rng, std::size_t length) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::uniform_int_distribution<std::size_t> letter(0, sizeof letters - 2);
    std::string word(length, 'a');
    for (char& c : word) c = letters[letter(rng)];
    return word;
}

struct user_row {
    std::string user, password;
};

// The processor time a process has had, in nanoseconds, as the kernel
// counts it (user and system).
std::uint64_t processor_ns(std::uint64_t pid) {
    std::FILE* file = std::fopen(("/proc/" + std::to_string(pid) + "/schedstat").c_str(), "r");
    unsigned long long ns = 0;
    if (!file || std::fscanf(file, "%llu", &ns) != 1) ns = 0;
    if (file) std::fclose(file);
    return ns;
}

// One authenticator with the hash timer in it, and the checks it answered:
// for each the time by the clock, the authenticator's processor time and
// the part of it in the hash library.
struct measured_session {
    std::unique_ptr<qmtest::child_session> session;
    std::unique_ptr<shared_times> times;
    std::vector<double> check_us, processor_us, library_us;

    void check(const std::string& line, bool expect_ok) {
        // Between commands the authenticator waits for input: its account
        // stands still while it is read.
        std::uint64_t library_before = times->nanoseconds();
        std::uint64_t processor_before = processor_ns(times->process_id());
        auto start = clock_type::now();
        if (!session->write(line)) throw std::runtime_error("authenticator gone");
        std::vector<std::string> answer = session->read_answer(std::chrono::seconds(60));
        double us = std::chrono::duration<double, std::micro>(clock_type::now() - start).count();
        if (answer.empty() || (answer.back().rfind("+OK", 0) == 0) != expect_ok)
            throw std::runtime_error("unexpected answer to " + line);
        double processor =
            static_cast<double>(processor_ns(times->process_id()) - processor_before) / 1000.0;
        double library = static_cast<double>(times->nanoseconds() - library_before) / 1000.0;
        check_us.push_back(us);
        processor_us.push_back(processor);
        library_us.push_back(library);
    }
    // A check that is not counted on the session's own line.
    void drop_last() {
        for (std::vector<double>* v : {&check_us, &processor_us, &library_us}) v->pop_back();
    }
    void clear() {
        for (std::vector<double>* v : {&check_us, &processor_us, &library_us}) v->clear();
    }
};

std::string argument(int argc, char** argv, const char* name, const char* fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string db = argument(argc, argv, "--db", "sqlite");
    const long checks = std::atol(argument(argc, argv, "--checks", "2000").c_str());
    const long argon_checks = std::atol(argument(argc, argv, "--argon-checks", "100").c_str());
    const std::string fast = argument(argc, argv, "--fast-path", "both");
    if (!schemes_init()) return 1;
    std::mt19937 rng(20261208);

    qmbench::bench_database world;
    if (!world.open(db)) return 2;
    odbc_env& env = world.env;

    // Today's users (the password as it is), and users stored as {PLAIN},
    // SHA512-CRYPT and ARGON2ID at the costs quillmar-pw makes them.
    struct user_group {
        const char* scheme;  // null: today's table
        std::size_t count;
        std::vector<user_row> rows;
    };
    std::vector<user_group> groups = {
        {nullptr, 1000, {}}, {"PLAIN", 1000, {}}, {"SHA512-CRYPT", 200, {}}, {"ARGON2ID", 20, {}}};
    std::string sql =
        "CREATE TABLE maildb ([user] VARCHAR(128), pass VARCHAR(255), maildrop VARCHAR(255));"
        "CREATE UNIQUE INDEX maildb_user ON maildb ([user]);BEGIN;";
    for (user_group& group : groups) {
        for (std::size_t i = 0; i < group.count; ++i) {
            user_row u{random_word(rng, 10) + std::to_string(i) + "@example.org",
                       random_word(rng, 12)};
            std::string value = u.password;
            if (group.scheme) {
                make_params params;
                params.scheme = group.scheme;
                value = *make_stored_value(u.password, params).value;
            }
            sql += "INSERT INTO maildb VALUES ('" + u.user + "','" + value + "','/var/mail/" +
                   u.user + "');";
            group.rows.push_back(u);
        }
    }
    world.exec(sql + "COMMIT");

    // One authenticator for each line of the report.
    struct measured_line {
        const char* label;
        std::size_t group;
        bool stand_in;  // the hash library stood in for
        bool slow;      // checked in rounds with an unknown user and a wrong password
    };
    const std::vector<measured_line> lines = {
        {"today's table", 0, false, false}, {"PLAIN", 1, false, false},
        {"SHA512-CRYPT", 2, false, false},  {"SHA512-CRYPT, stood in", 2, true, false},
        {"ARGON2ID", 3, false, true},       {"ARGON2ID, stood in", 3, true, false},
    };

    const std::string columns =
        "field_username [user]\nfield_password pass\nfield_maildrop maildrop\n";
    std::printf(
        "database %s; median (p99) in microseconds. \"stood in\": the hash library's answers "
        "given from memory, so that only our own code runs; ours = its processor time\n",
        db.c_str());
    for (bool fast_path : {false, true}) {
        if ((fast == "on" && !fast_path) || (fast == "off" && fast_path)) continue;
        const std::string key = fast_path ? "odbc_fast_path true\n" : "";
        const std::string suffix = fast_path ? "_fast" : "";
        mkdir((env.dir() + "/today" + suffix).c_str(), 0700);
        mkdir((env.dir() + "/hashed" + suffix).c_str(), 0700);
        env.write_file("today" + suffix + "/quillmar.ini", columns + key);
        env.write_file("hashed" + suffix + "/quillmar.ini",
                       columns + key + "default_pass_scheme ARGON2ID\n");

        std::vector<measured_session> sessions(lines.size());
        for (std::size_t i = 0; i < lines.size(); ++i) {
            qmtest::child_options o = world.authenticator_options(
                env.dir() + (groups[lines[i].group].scheme ? "/hashed" : "/today") + suffix);
            sessions[i].times =
                std::make_unique<shared_times>(env.dir() + "/hash_times_" + std::to_string(i));
            o.env.emplace_back("LD_PRELOAD", QM_HASH_TIMER);
            o.env.emplace_back("QM_HASH_TIMES", sessions[i].times->path());
            if (lines[i].stand_in) o.env.emplace_back("QM_HASH_STAND_IN", "1");
            sessions[i].session = std::make_unique<qmtest::child_session>(QM_BINARY, o);
        }
        auto pick = [&](std::size_t group) -> const user_row& {
            const std::vector<user_row>& rows = groups[group].rows;
            return rows[std::uniform_int_distribution<std::size_t>(0, rows.size() - 1)(rng)];
        };
        auto check = [&](std::size_t line, const user_row& u) {
            sessions[line].check("check " + u.user + " " + u.password + "\n", true);
        };
        // The slow line's session answers, in turn, a known user's wrong
        // password, a user the table does not hold and a right password.
        std::vector<double> wrong_us, unknown_us;
        auto slow_round = [&](std::size_t line, bool keep) {
            measured_session& s = sessions[line];
            std::size_t group = lines[line].group;
            // In a new order each round: the first check after the other
            // sessions' turns finds the caches cold.
            int order[] = {0, 1, 2};
            std::shuffle(std::begin(order), std::end(order), rng);
            for (int kind : order) {
                if (kind == 2) {
                    check(line, pick(group));
                    continue;
                }
                std::string user = kind == 0 ? pick(group).user : random_word(rng, 10) + "@x.org";
                s.check("check " + user + " " + pick(group).password + "x\n", false);
                if (keep) (kind == 0 ? wrong_us : unknown_us).push_back(s.check_us.back());
                s.drop_last();
            }
        };
        // Every user once (a stand-in learns each answer), then some more.
        for (std::size_t l = 0; l < lines.size(); ++l) {
            if (lines[l].slow) {
                slow_round(l, false);
            } else {
                for (const user_row& u : groups[lines[l].group].rows) check(l, u);
            }
            sessions[l].clear();
        }

        // In turns, so that the load others put on the machine falls on all.
        const long block = 50, rounds_per_block = std::max(1L, argon_checks * block / checks);
        for (long done = 0; done < checks; done += block) {
            for (std::size_t l = 0; l < lines.size(); ++l) {
                for (long i = 0; i < (lines[l].slow ? rounds_per_block : block); ++i) {
                    if (lines[l].slow)
                        slow_round(l, true);
                    else
                        check(l, pick(lines[l].group));
                }
            }
        }

        std::printf("\n%s\n", fast_path ? "odbc_fast_path true" : "odbc_fast_path off");
        std::printf("%-24s %17s %17s %17s %13s %13s %13s\n", "check of", "by the clock",
                    "processor time", "in the library", "clock /PLAIN", "proc. /PLAIN",
                    "proc. /today");
        const figures plain_clock = summarise(sessions[1].check_us),
                      plain = summarise(sessions[1].processor_us),
                      today = summarise(sessions[0].processor_us);
        double worst = 0;
        for (std::size_t l = 0; l < lines.size(); ++l) {
            figures whole = summarise(sessions[l].check_us),
                    processor = summarise(sessions[l].processor_us),
                    library = summarise(sessions[l].library_us);
            std::printf(
                "%-24s %9.1f (%5.0f) %9.1f (%5.0f) %9.1f (%5.0f) %13.3f %13.3f %13.3f  %zu\n",
                lines[l].label, whole.median, whole.p99, processor.median, processor.p99,
                library.median, library.p99, whole.median / plain_clock.median,
                processor.median / plain.median, processor.median / today.median,
                sessions[l].check_us.size());
            if (lines[l].stand_in) worst = std::max(worst, processor.median / plain.median);
        }
        std::printf(
            "our own processor time outside the hash (the stood-in schemes) against a PLAIN "
            "check: at most %.3f (goal at most 1.10: %s)\n",
            worst, worst <= 1.10 ? "met" : "missed");
        figures wrong = summarise(wrong_us), unknown = summarise(unknown_us);
        std::printf(
            "ARGON2ID by the clock: known user, wrong password %.1f (%.0f); unknown user %.1f "
            "(%.0f); unknown / known %.3f (goal within 10%%: %s)\n",
            wrong.median, wrong.p99, unknown.median, unknown.p99, unknown.median / wrong.median,
            std::abs(unknown.median / wrong.median - 1) <= 0.10 ? "met" : "missed");
        for (measured_session& s : sessions) s.session->finish();
    }
    return 0;
}
