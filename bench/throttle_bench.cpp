// What the throttle of guessers costs a check it lets through. In this
// process: the reading of the client's address and the table's question,
// per call, on a table of the authenticator's own kind in a file. Through
// the whole authenticator over pipes: a fast-path check and a cached check
// (every user kept), each with and without auth_failure_limit, taking turns
// in blocks of 50 so that the load others put on the machine falls on all
// four alike; every check gives an address, as a mail server does. Beside
// the medians by the clock, the processor time each authenticator spent per
// check (its schedstat), which the waits for a processor on a shared
// machine do not reach.
//
//   throttle_bench [--checks N] [--users N] [--calls N] [--binary PATH]
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_database.h"
#include "throttle/throttle.h"

namespace {

using clock_type = std::chrono::steady_clock;

long argument(int argc, char** argv, const char* name, long fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return std::atol(argv[i + 1]);
    return fallback;
}

std::string text_argument(int argc, char** argv, const char* name, const char* fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
    return fallback;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

std::string random_address(std::mt19937& rng) {
    std::uniform_int_distribution<int> octet(1, 254);
    return "10." + std::to_string(octet(rng)) + "." + std::to_string(octet(rng)) + "." +
           std::to_string(octet(rng));
}

// Nanoseconds a call for what the directory does before a check the
// throttle lets through: the address read from its text, the trusted
// networks, and the table asked.
void in_process(long calls, std::mt19937& rng) {
    std::string folder = (std::filesystem::temp_directory_path() / "qm-thrbench-XXXXXX").string();
    if (!::mkdtemp(&folder[0])) throw std::runtime_error("no temporary folder");
    throttle_settings settings;
    settings.table_path = folder + "/table";
    throttle_load(settings, "auth_failure_limit", "10 300");
    throttle_load(settings, "auth_trusted_networks", "127.0.0.1 ::1");
    {
        failure_throttle throttle(settings);
        // A table in use: a thousand addresses with a failure counted.
        std::vector<std::string> failing;
        for (int i = 0; i < 1000; ++i) {
            failing.push_back(random_address(rng));
            throttle.failed(*read_client_address(failing.back()), "user", "password");
        }
        std::vector<std::string> others;
        for (int i = 0; i < 10000; ++i) others.push_back(random_address(rng));
        for (auto [name, texts] : {std::pair{"an address not in the table", &others},
                                   std::pair{"an address with a failure counted", &failing}}) {
            std::vector<double> rounds;
            int refused = 0;
            for (int round = 0; round < 9; ++round) {
                const auto start = clock_type::now();
                for (long i = 0; i < calls; ++i) {
                    std::optional<client_address> a =
                        read_client_address((*texts)[static_cast<std::size_t>(i) % texts->size()]);
                    refused += a && throttle.refuses(*a);
                }
                rounds.push_back(
                    std::chrono::duration<double, std::nano>(clock_type::now() - start).count() /
                    static_cast<double>(calls));
            }
            std::printf("in process, %s: %.0f ns a check (median of 9 rounds of %ld)%s\n", name,
                        median(rounds), calls, refused ? " REFUSED SOME" : "");
        }
        std::vector<double> rounds;
        const client_address a = *read_client_address("192.0.2.1");
        for (int round = 0; round < 9; ++round) {
            const auto start = clock_type::now();
            for (long i = 0; i < calls; ++i) (void)throttle.trusted(a);
            rounds.push_back(
                std::chrono::duration<double, std::nano>(clock_type::now() - start).count() /
                static_cast<double>(calls));
        }
        std::printf("in process, of it the two trusted networks: %.0f ns\n", median(rounds));
    }
    // What a process spends once a second on the throttles that are over:
    // an eighth of a table that holds a thousand addresses.
    std::vector<std::uint64_t> memory(failure_table_layout::bytes / 8 + 1, 0);
    failure_table::initialise(memory.data());
    failure_table table(memory.data(), {10, 300});
    for (int i = 0; i < 1000; ++i) {
        ended_throttle ended;
        table.failed(counted_network(*read_client_address(random_address(rng)), 64), "user",
                     "password", 100, ended);
    }
    std::vector<double> sweeps;
    std::uint32_t next = 0;
    for (int round = 0; round < 64; ++round) {
        const auto start = clock_type::now();
        next = table.sweep(next, failure_table_layout::slot_count / 8, 101,
                           [](const ended_throttle&) {});
        sweeps.push_back(
            std::chrono::duration<double, std::micro>(clock_type::now() - start).count());
    }
    std::printf("in process, a second's sweep for throttles that are over: %.1f us\n",
                median(sweeps));
    std::filesystem::remove_all(folder);
}

// The children of this process running the authenticator, oldest first.
std::vector<pid_t> authenticators() {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    if (!proc) return found;
    while (dirent* entry = readdir(proc)) {
        const pid_t pid = std::atoi(entry->d_name);
        if (pid <= 0) continue;
        std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const std::size_t open = text.find('('), close = text.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        char state = 0;
        int ppid = 0;
        if (std::sscanf(text.c_str() + close + 1, " %c %d", &state, &ppid) != 2) continue;
        if (text.substr(open + 1, close - open - 1) == "quillmar" && ppid == getpid())
            found.push_back(pid);
    }
    closedir(proc);
    std::sort(found.begin(), found.end());
    return found;
}

// Nanoseconds the process has run on a processor.
double run_ns(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    double ns = 0;
    in >> ns;
    return ns;
}

bool ask(qmtest::child_session& s, const std::string& line) {
    if (!s.write(line)) return false;
    const std::vector<std::string> answer = s.read_answer();
    return !answer.empty() && answer.back().rfind("+OK", 0) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const long checks = argument(argc, argv, "--checks", 20000);
    const long user_count = argument(argc, argv, "--users", 1000);
    const long calls = argument(argc, argv, "--calls", 200000);
    const std::string binary = text_argument(argc, argv, "--binary", QM_BINARY);
    std::mt19937 rng(20261208);

    in_process(calls, rng);

    qmbench::bench_database world;
    world.open("sqlite");
    struct user_row {
        std::string user, pass;
    };
    std::vector<user_row> users;
    std::string sql =
        "CREATE TABLE maildb ([user] VARCHAR(128), pass VARCHAR(128), maildrop VARCHAR(255));"
        "CREATE UNIQUE INDEX maildb_user ON maildb ([user]);BEGIN;";
    for (long i = 0; i < user_count; ++i) {
        users.push_back(
            {"user" + std::to_string(i) + "@example.org", "pw" + std::to_string(i * 7)});
        sql += "INSERT INTO maildb VALUES ('" + users.back().user + "','" + users.back().pass +
               "','/var/mail/" + std::to_string(i) + "');";
    }
    world.exec(sql + "COMMIT");
    const std::string columns =
        "field_username [user]\nfield_password pass\nfield_maildrop maildrop\n"
        "odbc_fast_path true\n";
    const std::string cache = "cache_ttl 3600\ncache_size " + std::to_string(user_count) + "\n";
    const std::string throttle =
        "log_auth_failures true\nauth_failure_limit 10 300\n"
        "auth_failure_table " +
        world.env.dir() + "/table\n";
    struct kind {
        const char* name;
        std::string ini;
        std::vector<double> times;
    };
    std::vector<kind> kinds = {{"fast path", columns, {}},
                               {"fast path, throttle", columns + throttle, {}},
                               {"cached", columns + cache, {}},
                               {"cached, throttle", columns + cache + throttle, {}}};
    std::vector<std::unique_ptr<qmtest::child_session>> sessions;
    for (kind& k : kinds) {
        const std::string folder = world.env.dir() + "/" + std::to_string(sessions.size());
        std::filesystem::create_directory(folder);
        world.env.write_file(std::to_string(sessions.size()) + "/quillmar.ini", k.ini);
        sessions.push_back(
            std::make_unique<qmtest::child_session>(binary, world.authenticator_options(folder)));
    }
    std::uniform_int_distribution<std::size_t> pick(0, users.size() - 1);
    auto line_for = [&](const user_row& u) {
        return "check " + u.user + " " + u.pass + " " + random_address(rng) + "\n";
    };
    // Every user once, so that every measured cached check is a hit.
    for (const user_row& u : users)
        for (auto& s : sessions)
            if (!ask(*s, line_for(u))) throw std::runtime_error("warm-up check refused");
    const std::vector<pid_t> pids = authenticators();
    std::vector<double> run_before;
    for (pid_t pid : pids) run_before.push_back(run_ns(pid));
    const long block = 50;
    for (long done = 0; done < checks; done += block) {
        for (std::size_t k = 0; k < kinds.size(); ++k) {
            std::vector<std::string> lines;
            for (long i = 0; i < block; ++i) lines.push_back(line_for(users[pick(rng)]));
            for (const std::string& line : lines) {
                const auto start = clock_type::now();
                if (!ask(*sessions[k], line)) throw std::runtime_error("check refused: " + line);
                kinds[k].times.push_back(
                    std::chrono::duration<double, std::micro>(clock_type::now() - start).count());
            }
        }
    }
    std::vector<double> run_us(kinds.size(), 0);
    for (std::size_t k = 0; pids.size() == kinds.size() && k < kinds.size(); ++k)
        run_us[k] = (run_ns(pids[k]) - run_before[k]) / 1000 / static_cast<double>(checks);
    for (auto& s : sessions) s->finish();
    std::printf("through the authenticator, SQLite, %ld checks each:\n", checks);
    for (std::size_t k = 0; k < kinds.size(); k += 2) {
        const double without = median(kinds[k].times), with = median(kinds[k + 1].times);
        std::printf(
            "  %-10s median %7.2f us, with the throttle %7.2f us: %+.2f us; processor %6.2f us, "
            "with the throttle %6.2f us: %+.2f us\n",
            kinds[k].name, without, with, with - without, run_us[k], run_us[k + 1],
            run_us[k + 1] - run_us[k]);
    }
    return 0;
}
