// The password keys as start-up judges them: what turns hashed checks and
// the rewrite on, and the error line for each setting that cannot be used.
#include <gtest/gtest.h>

#include "dbwrap/log_capture.h"
#include "directory/directory.h"
#include "directory/passwords.h"

namespace {

TEST(PasswordKeys, StartJudgesEachSetting) {
    struct row {
        const char* name;
        std::vector<std::pair<const char*, const char*>> keys;
        bool hashed, rehash;
        const char* error;  // the one error line, or null for none
    };
    const row rows[] = {
        {"none", {}, false, false, nullptr},
        {"hashed, any case", {{"Default_Pass_Scheme", "sha512-crypt"}}, true, false, nullptr},
        {"rehash at a cost",
         {{"default_pass_scheme", "PLAIN"},
          {"PASS_REHASH_SCHEME", "argon2id"},
          {"pass_rehash_cost", "1"},
          {"pass_rehash_memory", "64"}},
         true,
         true,
         nullptr},
        {"unknown default",
         {{"default_pass_scheme", "SHA512CRYPT"}},
         true,
         false,
         "Unknown password scheme (SHA512CRYPT) in default_pass_scheme: every check fails"},
        {"rehash without default",
         {{"pass_rehash_scheme", "ARGON2ID"}},
         false,
         false,
         "pass_rehash_scheme (ARGON2ID) needs default_pass_scheme: stored passwords are not "
         "rewritten"},
        {"unknown rehash",
         {{"default_pass_scheme", "PLAIN"}, {"pass_rehash_scheme", "ARGON3"}},
         true,
         false,
         "Unknown password scheme (ARGON3) in pass_rehash_scheme: stored passwords are not "
         "rewritten"},
        {"plain target",
         {{"default_pass_scheme", "SHA512-CRYPT"}, {"pass_rehash_scheme", "clear.b64"}},
         true,
         false,
         "pass_rehash_scheme (clear.b64) would store passwords in plain text: stored passwords "
         "are not rewritten"},
        {"weak target",
         {{"default_pass_scheme", "PLAIN"}, {"pass_rehash_scheme", "MD5-CRYPT"}},
         true,
         false,
         "pass_rehash_scheme (MD5-CRYPT) cannot be made: weak scheme: not made; stored "
         "passwords are not rewritten"},
        {"cost not a number",
         {{"default_pass_scheme", "PLAIN"},
          {"pass_rehash_scheme", "BLF-CRYPT"},
          {"pass_rehash_cost", "-4"}},
         true,
         false,
         "pass_rehash_cost and pass_rehash_memory take a whole number: stored passwords are not "
         "rewritten"},
        {"cost out of range",
         {{"default_pass_scheme", "PLAIN"},
          {"pass_rehash_scheme", "BLF-CRYPT"},
          {"pass_rehash_cost", "99"}},
         true,
         false,
         "pass_rehash_scheme (BLF-CRYPT) cannot be made: cost out of range for the scheme; "
         "stored passwords are not rewritten"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        directory_init();
        for (const auto& key : r.keys) EXPECT_EQ(directory_load(key.first, key.second), 1);
        log_capture log;
        password_start();
        EXPECT_EQ(passwords_hashed(), r.hashed);
        EXPECT_EQ(password_rehash_on(), r.rehash);
        std::vector<std::string> errors;
        for (const std::string& m : log.messages())
            if (m.rfind("ERROR: ", 0) == 0) errors.push_back(m.substr(7));
        EXPECT_EQ(errors, r.error ? std::vector<std::string>{r.error} : std::vector<std::string>{});
        directory_cleanup();
    }
    EXPECT_FALSE(passwords_hashed());
}

}  // namespace
