// The password keys as start-up judges them: what turns hashed checks and
// the rewrite on, the error line for each setting that cannot be used, and
// the dummy unknown users are checked against, settled there once.
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
        const char* dummy;  // how the dummy is described, or null for none
    };
    const char* const defaults = ", made like default_pass_scheme's values at its defaults";
    const row rows[] = {
        {"none", {}, false, false, nullptr, nullptr},
        {"hashed, any case",
         {{"Default_Pass_Scheme", "sha512-crypt"}},
         true,
         false,
         nullptr,
         "SHA512-CRYPT value at 5000 rounds"},
        {"crypt",
         {{"default_pass_scheme", "CRYPT"}},
         true,
         false,
         nullptr,
         "YESCRYPT value at 16384 KiB x passes"},
        {"argon2id",
         {{"default_pass_scheme", "ARGON2ID"}},
         true,
         false,
         nullptr,
         "ARGON2ID value at 131072 KiB x passes"},
        {"bcrypt",
         {{"default_pass_scheme", "BLF-CRYPT"}},
         true,
         false,
         nullptr,
         "BLF-CRYPT value at 5 log2 rounds"},
        {"weak", {{"default_pass_scheme", "MD5-CRYPT"}}, true, false, nullptr, "MD5-CRYPT value"},
        {"rehash at a cost",
         {{"default_pass_scheme", "PLAIN"},
          {"PASS_REHASH_SCHEME", "argon2id"},
          {"pass_rehash_cost", "1"},
          {"pass_rehash_memory", "64"}},
         true,
         true,
         nullptr,
         "ARGON2ID value at 64 KiB x passes, made like pass_rehash_scheme's values"},
        {"dummy given",
         {{"default_pass_scheme", "CRYPT"},
          {"pass_rehash_scheme", "ARGON2ID"},
          {"pass_dummy_value", "$2y$05$VYtlNEoOabG0ePWx/h5n1.hHhuM9KXjnWicyvVkvlQ9g2hEdzUQym"}},
         true,
         true,
         nullptr,
         "BLF-CRYPT value at 5 log2 rounds, from pass_dummy_value"},
        {"dummy given that cannot be verified",
         {{"default_pass_scheme", "SHA512-CRYPT"}, {"pass_dummy_value", "$2y$05$short"}},
         true,
         false,
         "pass_dummy_value is not a stored value that can be verified (bad crypt parameters): it "
         "is not used",
         "SHA512-CRYPT value at 5000 rounds"},
        {"ceilings",
         {{"default_pass_scheme", "SHA256-CRYPT"},
          {"PASS_CEILING_SHA_CRYPT", "4000"},
          {"pass_ceiling_bcrypt", "twelve"}},
         true,
         false,
         "pass_ceiling_bcrypt takes a whole number above 0 (log2 rounds): the default 13 holds",
         "SHA256-CRYPT value at 5000 rounds"},
        {"unknown default",
         {{"default_pass_scheme", "SHA512CRYPT"}},
         true,
         false,
         "Unknown password scheme (SHA512CRYPT) in default_pass_scheme: every check fails",
         nullptr},
        {"rehash without default",
         {{"pass_rehash_scheme", "ARGON2ID"}},
         false,
         false,
         "pass_rehash_scheme (ARGON2ID) needs default_pass_scheme: stored passwords are not "
         "rewritten",
         nullptr},
        {"unknown rehash",
         {{"default_pass_scheme", "PLAIN"}, {"pass_rehash_scheme", "ARGON3"}},
         true,
         false,
         "Unknown password scheme (ARGON3) in pass_rehash_scheme: stored passwords are not "
         "rewritten",
         "PLAIN value"},
        {"plain target",
         {{"default_pass_scheme", "SHA512-CRYPT"}, {"pass_rehash_scheme", "clear.b64"}},
         true,
         false,
         "pass_rehash_scheme (clear.b64) would store passwords in plain text: stored passwords "
         "are not rewritten",
         "SHA512-CRYPT value at 5000 rounds"},
        {"unsalted target",
         {{"default_pass_scheme", "ARGON2ID"}, {"pass_rehash_scheme", "SHA256"}},
         true,
         false,
         "pass_rehash_scheme (SHA256) is an unsalted digest, quick to crack: stored passwords are "
         "not rewritten",
         "ARGON2ID value at 131072 KiB x passes"},
        {"weak target",
         {{"default_pass_scheme", "PLAIN"}, {"pass_rehash_scheme", "MD5-CRYPT"}},
         true,
         false,
         "pass_rehash_scheme (MD5-CRYPT) is a weak scheme: stored passwords are not rewritten",
         "PLAIN value"},
        {"target above its ceiling",
         {{"default_pass_scheme", "PLAIN"},
          {"pass_rehash_scheme", "SHA512-CRYPT"},
          {"pass_rehash_cost", "3000000"}},
         true,
         false,
         "pass_rehash_scheme (SHA512-CRYPT) would write values above pass_ceiling_sha_crypt "
         "(2000000 rounds), which no check would then verify: stored passwords are not rewritten",
         "PLAIN value"},
        {"cost not a number",
         {{"default_pass_scheme", "PLAIN"},
          {"pass_rehash_scheme", "BLF-CRYPT"},
          {"pass_rehash_cost", "-4"}},
         true,
         false,
         "pass_rehash_cost and pass_rehash_memory take a whole number: stored passwords are not "
         "rewritten",
         "PLAIN value"},
        {"cost out of range",
         {{"default_pass_scheme", "PLAIN"},
          {"pass_rehash_scheme", "BLF-CRYPT"},
          {"pass_rehash_cost", "99"}},
         true,
         false,
         "pass_rehash_scheme (BLF-CRYPT) cannot be made: cost out of range for the scheme; "
         "stored passwords are not rewritten",
         "PLAIN value"},
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
        // The dummy's line of the configuration check: its scheme and cost,
        // and how it was chosen, the default scheme's defaults unless named.
        std::vector<std::string> report = password_report();
        if (!r.dummy) {
            EXPECT_TRUE(report.empty());
        } else {
            ASSERT_EQ(report.size(), 2u);
            std::string want = std::string("unknown users are checked against a ") + r.dummy;
            if (want.find(", ") == std::string::npos) want += defaults;
            EXPECT_EQ(report[0], want);
        }
        directory_cleanup();
    }
    EXPECT_FALSE(passwords_hashed());
}

}  // namespace
