// A private Postfix for the whole-program tests: its own config_directory,
// queue_directory and data_directory, an SMTP listener on a free loopback
// port, started with `postfix -c <dir> start` and stopped when the test ends
// or its process dies. Each test adds the main.cf lines of its own case
// (the service's SASL socket and socketmap, or nginx's XCLIENT); swaks
// drives it, or whatever stands in front of it.
#pragma once

#include <pwd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "peer_harness.h"

namespace qmpeer {

inline const char* const postfix_binary = "/usr/sbin/postfix";
inline const char* const postmap_binary = "/usr/sbin/postmap";
inline const char* const swaks_binary = "/usr/bin/swaks";

// The SMTP reply code swaks met after AUTH on 127.0.0.1:port ("235", "535",
// "454", "451"), or its whole output when it met none.
inline std::string swaks_auth(int port, const std::string& mechanism, const std::string& user,
                              const std::string& password) {
    qmtest::child_options o;
    o.args = {"--server",        "127.0.0.1", "--port",       std::to_string(port),
              "--auth",          mechanism,   "--auth-user",  user,
              "--auth-password", password,    "--quit-after", "AUTH",
              "--ehlo",          "test"};
    qmtest::child_result r = qmtest::run_child(swaks_binary, "", o);
    for (const char* code : {"235 ", "535 ", "454 ", "451 "})
        if (r.out.find("<~ " + std::string(code)) != std::string::npos ||
            r.out.find("<-  " + std::string(code)) != std::string::npos ||
            r.out.find("<** " + std::string(code)) != std::string::npos)
            return std::string(code, 3);
    return r.out + r.err;
}

class private_postfix {
public:
    // `lines`: the test's own main.cf lines; `run`: the mail system
    // started; without, its settings alone (for postmap); `files`: more
    // files of the configuration folder, by their names within it.
    private_postfix(const std::string& dir, const std::vector<std::string>& lines, bool run = true,
                    const std::vector<std::pair<std::string, std::string>>& files = {})
        : dir_(dir + "/postfix"), conf_(dir_ + "/conf") {
        std::filesystem::create_directories(conf_);
        std::filesystem::create_directories(dir_ + "/queue");
        std::filesystem::create_directories(dir_ + "/data");
        // Postfix's daemons run as its mail_owner, who must pass the folder
        // of the socket and own the data folder.
        std::filesystem::permissions(dir, std::filesystem::perms::others_exec,
                                     std::filesystem::perm_options::add);
        if (const passwd* owner = ::getpwnam("postfix"))
            if (::chown((dir_ + "/data").c_str(), owner->pw_uid, owner->pw_gid) != 0) return;
        port_ = free_port();
        std::string main_cf;
        for (const std::string& line : std::vector<std::string>{
                 "compatibility_level = 3.6",
                 "queue_directory = " + dir_ + "/queue",
                 "data_directory = " + dir_ + "/data",
                 "meta_directory = /etc/postfix",
                 "mail_owner = postfix",
                 "setgid_group = postdrop",
                 "myhostname = quillmar-test.localdomain",
                 "mydestination =",
                 "inet_interfaces = 127.0.0.1",
                 "inet_protocols = ipv4",
                 "alias_maps =",
                 "alias_database =",
                 "local_recipient_maps =",
                 "maillog_file = " + dir_ + "/maillog",
                 "maillog_file_prefixes = " + dir_,
                 "smtpd_tls_security_level = none",
             })
            main_cf += line + "\n";
        for (const std::string& line : lines) main_cf += line + "\n";
        write("main.cf", main_cf);
        for (const auto& [name, text] : files) {
            std::filesystem::create_directories(
                std::filesystem::path(conf_ + "/" + name).parent_path());
            write(name, text);
        }
        // Nothing chrooted, so that the socket's path is the same inside.
        write("master.cf",
              "127.0.0.1:" + std::to_string(port_) +
                  " inet n - n - - smtpd\n"
                  "pickup unix n - n 60 1 pickup\ncleanup unix n - n - 0 cleanup\n"
                  "qmgr unix n - n 300 1 qmgr\nrewrite unix - - n - - trivial-rewrite\n"
                  "bounce unix - - n - 0 bounce\ndefer unix - - n - 0 bounce\n"
                  "trace unix - - n - 0 bounce\nverify unix - - n - 1 verify\n"
                  "proxymap unix - - n - - proxymap\nsmtp unix - - n - - smtp\n"
                  "error unix - - n - - error\nretry unix - - n - - error\n"
                  "anvil unix - - n - 1 anvil\nscache unix - - n - 1 scache\n"
                  "postlog unix-dgram n - n - 1 postlogd\n");
        if (!run) return;
        // Started under a shell that stops it when the test ends or dies.
        postfix_.start(
            {"/bin/sh", "-c",
             "trap '" + std::string(postfix_binary) + " -c \"$0\" stop; exit 0' TERM; " +
                 postfix_binary + " -c \"$0\" start || exit 1; while :; do sleep 0.2; done",
             conf_},
            {}, dir_ + "/start.out");
        ready_ = wait_until([&] { return port_answers(port_); });
    }
    ~private_postfix() { postfix_.stop(); }
    private_postfix(const private_postfix&) = delete;
    private_postfix& operator=(const private_postfix&) = delete;

    bool ready() const { return ready_; }
    int port() const { return port_; }
    std::string log() const {
        return read_text(dir_ + "/start.out") + read_text(dir_ + "/maillog");
    }

    std::string auth(const std::string& mechanism, const std::string& user,
                     const std::string& password) const {
        return swaks_auth(port_, mechanism, user, password);
    }

    // postmap -q: the value, "" when not found; `err` gets what it said.
    qmtest::child_result lookup(const std::string& key, const std::string& table) const {
        qmtest::child_options o;
        o.args = {"-c", conf_, "-q", key, table};
        return qmtest::run_child(postmap_binary, "", o);
    }

private:
    void write(const std::string& name, const std::string& text) const {
        std::FILE* file = std::fopen((conf_ + "/" + name).c_str(), "w");
        if (!file) return;
        std::fputs(text.c_str(), file);
        std::fclose(file);
    }

    std::string dir_, conf_;
    int port_ = -1;
    bool ready_ = false;
    instance postfix_;
};

}  // namespace qmpeer
