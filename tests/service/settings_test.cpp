// The service's keys: each value a key takes or refuses (an error line,
// the setting left as it was), the keys it hands to the back end, and the
// problems -check -serve names.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "config/log.h"
#include "service/service_settings.h"

namespace {

std::vector<std::string> passed_on;
int back_end_load(const char* key, const char*) {
    passed_on.emplace_back(key);
    return 1;
}

TEST(ServiceSettings, Keys) {
    struct row {
        std::string key, value;
        bool refused;
        std::string shown;  // the setting afterwards
    };
    auto show = [](const service_settings& s) {
        std::string maps;
        for (const auto& [name, answer] : s.maps)
            maps += name + "=" + map_answer_name(answer) + ";";
        return std::to_string(s.workers) + " " + std::to_string(s.max_clients) + " " +
               std::to_string(s.max_line) + " " + std::to_string(s.idle_timeout) + " " +
               std::to_string(s.max_queue) + " " + std::to_string(s.socket_mode) + " " + maps;
    };
    const std::vector<row> rows = {
        {"workers", "3", false, "3 1000 16384 300 1024 432 "},
        {"WORKERS", "256", false, "256 1000 16384 300 1024 432 "},
        {"workers", "0", true, ""},
        {"workers", "257", true, ""},
        {"workers", " 2", true, ""},
        {"workers", "2x", true, ""},
        {"workers", "+2", true, ""},
        {"max_clients", "10", false, "X 10 16384 300 1024 432 "},
        {"max_line", "255", true, ""},
        {"max_line", "1048576", false, "X 1000 1048576 300 1024 432 "},
        {"idle_timeout", "1", false, "X 1000 16384 1 1024 432 "},
        {"max_queue", "99999999999999", true, ""},
        {"socket_mode", "0600", false, "X 1000 16384 300 1024 384 "},
        {"socket_mode", "0666", false, "X 1000 16384 300 1024 438 "},
        {"socket_mode", "0800", true, ""},
        {"socket_mode", "1777", true, ""},
        {"socket_mode", "0678", true, ""},
        {"socket_mode", "660", false, "X 1000 16384 300 1024 432 "},
        {"socketmap_map", "mailbox maildrop", false, "X 1000 16384 300 1024 432 mailbox=maildrop;"},
        {"socketmap_map", "login\tUSER", false, "X 1000 16384 300 1024 432 login=user;"},
        {"socketmap_map", "fwd forward", false, "X 1000 16384 300 1024 432 fwd=forward;"},
        {"socketmap_map", "mailbox", true, ""},
        {"socketmap_map", "mailbox mail", true, ""},
    };
    auth_module_table table{};
    table.load = back_end_load;
    for (const row& r : rows) {
        SCOPED_TRACE(r.key + " " + r.value);
        service_settings_begin(table);
        std::vector<std::string> errors;
        std::vector<std::string>* outer = divert_log(&errors);
        EXPECT_EQ(service_settings_key(r.key.c_str(), r.value.c_str()), 1);
        divert_log(outer);
        EXPECT_EQ(!errors.empty(), r.refused);
        service_settings s = current_service_settings();
        if (r.refused) continue;
        std::string expected = r.shown;
        if (expected[0] == 'X') expected = std::to_string(s.workers) + expected.substr(1);
        EXPECT_EQ(show(s), expected);
    }
    // max_pending, read as the other limits are.
    const std::vector<std::pair<std::string, std::size_t>> pending_rows = {
        {"64", 64}, {"1", 1}, {"10000", 10000}, {"0", 16}, {"10001", 16}, {"8x", 16}};
    for (const auto& [value, kept] : pending_rows) {
        service_settings_begin(table);
        std::vector<std::string> errors;
        std::vector<std::string>* outer = divert_log(&errors);
        EXPECT_EQ(service_settings_key("MAX_PENDING", value.c_str()), 1);
        divert_log(outer);
        EXPECT_EQ(current_service_settings().max_pending, kept) << value;
        EXPECT_EQ(errors.empty(), kept != 16) << value;
    }
    passed_on.clear();
    service_settings_begin(table);
    EXPECT_EQ(service_settings_key("field_username", "user"), 1);
    EXPECT_EQ(service_settings_key("listen_auth", "/run/q/auth"), 1);
    EXPECT_EQ(passed_on, std::vector<std::string>{"field_username"});
    EXPECT_EQ(current_service_settings().listen_auth, std::optional<std::string>("/run/q/auth"));
    EXPECT_GE(current_service_settings().workers, 1u);
}

TEST(ServiceSettings, Problems) {
    struct row {
        std::vector<std::pair<std::string, std::string>> keys;
        std::vector<std::string> problems;  // the beginning of each
    };
    // The sockets' folder: one of the test's own, then others writable by more.
    std::string made = ::testing::TempDir() + "/settings-XXXXXX";
    ASSERT_TRUE(::mkdtemp(&made[0]));
    const std::string dir = made + "/";
    auto folder = [&](const std::string& name, mode_t mode, uid_t uid, gid_t gid) {
        const std::string path = dir + name;
        ::mkdir(path.c_str(), 0700);
        EXPECT_EQ(::chown(path.c_str(), uid, gid), 0);
        EXPECT_EQ(::chmod(path.c_str(), mode), 0);
        return path + "/auth.sock";
    };
    const uid_t me = ::geteuid();
    const gid_t my_group = ::getegid();
    const std::string open_to_all = folder("all", 0777, me, my_group);
    const std::string sticky = folder("sticky", 01777, me, my_group);
    const std::string own_group = folder("own-group", 0770, me, my_group);
    // Another owner, and a group of others: only root can make them.
    const passwd* nobody = ::getpwnam("nobody");
    const group* nogroup = ::getgrnam("nogroup");
    const bool as_root = me == 0 && nobody && nogroup;
    const std::string others_own = as_root ? folder("nobody", 0755, nobody->pw_uid, 0) : "";
    const std::string others_group = as_root ? folder("nogroup", 0770, 0, nogroup->gr_gid) : "";
    std::vector<row> rows = {
        {{{"listen_auth", dir + "auth.sock"}}, {}},
        {{{"listen_saslauthd", dir + "mux"}}, {}},
        {{}, {"none of listen_auth, listen_socketmap, listen_http, listen_saslauthd"}},
        {{{"listen_auth", "auth.sock"}}, {"the socket auth.sock is not an absolute path"}},
        {{{"listen_auth", "/nonexistent-folder/auth.sock"}}, {"the folder /nonexistent-folder"}},
        {{{"listen_auth", dir + "s"}, {"listen_socketmap", dir + "s"}, {"socketmap_map", "m user"}},
         {"listen_auth and listen_socketmap name the same socket"}},
        {{{"listen_socketmap", dir + "s"},
          {"listen_saslauthd", dir + "s"},
          {"socketmap_map", "m user"}},
         {"listen_socketmap and listen_saslauthd name the same socket"}},
        {{{"listen_saslauthd", "mux"}}, {"the socket mux is not an absolute path"}},
        {{{"listen_socketmap", dir + "map.sock"}},
         {"listen_socketmap is set but no socketmap_map"}},
        {{{"listen_auth", dir + "a"}, {"socketmap_map", "mailbox maildrop"}},
         {"socketmap_map is set but listen_socketmap is not"}},
        {{{"listen_auth", dir + "a"}, {"socket_user", "no-such-user-here"}},
         {"socket_user no-such-user-here is no user"}},
        {{{"listen_auth", dir + "a"}, {"socket_group", "root"}}, {}},
        {{{"listen_auth", open_to_all}}, {"the folder " + dir + "all of the socket"}},
        {{{"listen_auth", sticky}}, {"the folder " + dir + "sticky of the socket"}},
        {{{"listen_auth", own_group}}, {}},
    };
    if (as_root) {
        rows.push_back({{{"listen_auth", others_own}}, {"the folder " + dir + "nobody of"}});
        rows.push_back({{{"listen_auth", others_group}}, {"the folder " + dir + "nogroup of"}});
    }
    auth_module_table table{};
    for (const row& r : rows) {
        service_settings_begin(table);
        for (const auto& [key, value] : r.keys) service_settings_key(key.c_str(), value.c_str());
        std::vector<std::string> problems;
        service_settings_problems(current_service_settings(), problems);
        ASSERT_EQ(problems.size(), r.problems.size()) << (problems.empty() ? "" : problems[0]);
        for (std::size_t i = 0; i < problems.size(); ++i)
            EXPECT_EQ(problems[i].rfind(r.problems[i], 0), 0u) << problems[i];
    }
    for (const char* name : {"all", "sticky", "own-group", "nobody", "nogroup"})
        ::rmdir((dir + name).c_str());
    ::rmdir(made.c_str());
}

}  // namespace
