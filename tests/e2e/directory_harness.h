// A private world for the whole-program directory tests: a SQLite user
// table reached through the real SQLite ODBC driver under the data source
// "quillmar", a quillmar.ini naming it, and the built binary run over pipes
// in that directory, as a mail server runs it.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/odbc_env.h"

namespace qmdir {

// Every column set, in an order other than the select list's, so that the
// fixed order of the list is what the tests see.
inline const char* const full_ini =
    "field_maildrop maildrop\n"
    "field_mailmask mask\n"
    "field_quota quota\n"
    "field_forward fwd\n"
    "field_password pass\n"
    "field_username user\n"
    "odbc_mail_user_table maildb\n";

class world {
public:
    world() : env_("quillmar") {}

    odbc_env& env() { return env_; }

    // The standard user table with a handful of users.
    void standard_table()
    {
        env_.exec(
            "CREATE TABLE maildb (user TEXT, pass TEXT, fwd TEXT, quota TEXT, mask TEXT, maildrop TEXT);"
            "INSERT INTO maildb VALUES ('bob', 'secret', 'NULL', '100', NULL, '/var/mail/bob');"
            "INSERT INTO maildb VALUES ('ann', 'pw', 'fwdbox', '100', '10.0.0.0', '');"
            "INSERT INTO maildb VALUES ('cat', 'meow', NULL, '', '192.168.0.0', '/var/mail/cat');"
            "INSERT INTO maildb VALUES ('dan', 'x', 'null', NULL, NULL, NULL);"
            "INSERT INTO maildb VALUES ('eve', 'y', '', '', '10.0.1.0', '');"
            "INSERT INTO maildb VALUES ('twin', 'a', '', '', '', '');"
            "INSERT INTO maildb VALUES ('twin', 'a', '', '', '', '');"
            "INSERT INTO maildb VALUES ('carl@example.org', 'c', 'Null', '5', '', '');");
    }

    void write_ini(const std::string& text) { env_.write_file("quillmar.ini", text); }

    qmtest::child_options options(std::vector<std::string> args = {}) const
    {
        qmtest::child_options o;
        o.argv0 = "quillmar";
        o.args = std::move(args);
        o.cwd = env_.dir();
        for (const std::string& setting : env_.child_environment()) {
            std::size_t eq = setting.find('=');
            o.env.emplace_back(setting.substr(0, eq), setting.substr(eq + 1));
        }
        return o;
    }

    qmtest::child_result run(const std::string& input, std::vector<std::string> args = {}) const
    {
        return qmtest::run_child(QM_BINARY, input, options(std::move(args)));
    }

    std::string log_text() const
    {
        std::ifstream in(env_.dir() + "/quillmar.log", std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // The log's messages without the process id and time stamp in front.
    std::vector<std::string> log_messages() const
    {
        std::vector<std::string> out;
        std::istringstream in(log_text());
        std::string line;
        while (std::getline(in, line)) {
            std::size_t pid_end = line.find(' ');
            out.push_back(pid_end != std::string::npos && line.size() >= pid_end + 22
                              ? line.substr(pid_end + 22)
                              : line);
        }
        return out;
    }

    bool log_has(const std::string& message) const
    {
        for (const std::string& m : log_messages())
            if (m == message)
                return true;
        return false;
    }

    bool log_has_prefix(const std::string& prefix) const
    {
        for (const std::string& m : log_messages())
            if (m.rfind(prefix, 0) == 0)
                return true;
        return false;
    }

private:
    odbc_env env_;
};

}  // namespace qmdir
