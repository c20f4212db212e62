// The schemes' outcomes for right, wrong, weak, unknown, broken and too
// costly values; the cost each value is held to; made values verifying and
// judged for a rehash; the unknown user's dummy.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "schemes/schemes.h"

namespace {

using vo = verify_outcome;

const std::string md5_crypt = "$1$D3x9CTMX$9ZmMD1mcFbEa06faWvxcp/";  // "secret"
const std::string des_crypt = "g/8szsByEH6N.";                       // "secret"
const std::string sha512_crypt =                                     // "secret"
    "$6$1N5Y8z/gOt0cw3Oz$tq9NO3KyBiUxsMPzIIhBcdV5mnjsJCXEW4CLp25pcdYag30ELKlpRrXYMMYWZRF8i84up"
    "hoiEGjKt1qktRYEY0";
const std::string argon2id_x =  // "x", m=64 t=1
    "$argon2id$v=19$m=64,t=1,p=1$c29tZXNhbHRzYWx0$RtB0IUP3xEAuGSRvT45ywO3GGTcSp+PYO9ughMs0YdU";
const std::string long_password(
    "Correct horse battery staple! Correct horse battery staple! Correct horse battery staple! ");
const std::string bcrypt_long = "$2y$05$i1TCVYZHEZN2NF1RoqoU2OHNeUcd5BGBRksvLNf5dWiJm.GmyDcOm";
const std::string yescrypt =
    "$y$j9T$zlnMRyFoV/dF7OrsOtL/x1$vSOE5Laa1FLQdGV5HPLvuf4rU/eYk4Yq.IHG/qCruv1";
// More than crypt(3) takes; never a match, never a fault of the stored value.
const std::string over_crypt(600, 's');
// The hash parts of values with a cost no ceiling lets through, each of a
// family's form: they must never reach the library.
const std::string bcrypt_tail = "VYtlNEoOabG0ePWx/h5n1.hHhuM9KXjnWicyvVkvlQ9g2hEdzUQym";
const std::string crypt_tail = "$saltsaltsaltsalt$LoUa4GKOVh9nZJbs5vgkqczVwyPOTtbgslUXB.8mhjM";

class Schemes : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(schemes_init()); }
};

TEST_F(Schemes, VerifyOutcomes) {
    struct row {
        std::string password;
        std::optional<std::string> stored;
        std::string default_scheme;
        bool allow_weak;
        vo outcome;
        std::string scheme;
    };
    const row rows[] = {
        {"secret", "{PLAIN}secret", "", false, vo::match, "PLAIN"},
        {"secret", "{cLeAr}secret", "", false, vo::match, "CLEAR"},
        {"secret", "secret", "plain", false, vo::match, "PLAIN"},
        {"secret", "{PLAIN}secret", "SHA512-CRYPT", false, vo::match, "PLAIN"},
        {"secret", "{PLAIN}secreT", "", false, vo::mismatch, "PLAIN"},
        {"secre", "{PLAIN}secret", "", false, vo::mismatch, "PLAIN"},
        {"", "{PLAIN}secret", "", false, vo::mismatch, "PLAIN"},
        {"secret", "{PLAIN.B64}c2VjcmV0", "", false, vo::match, "PLAIN"},
        {"secret", sha512_crypt, "crypt", false, vo::match, "SHA512-CRYPT"},
        {"secret", "{SHA512-CRYPT}" + sha512_crypt, "PLAIN", false, vo::match, "SHA512-CRYPT"},
        // A crypt value is judged by its method, whatever its label says.
        {"secret", "{SHA512-CRYPT}" + md5_crypt, "", false, vo::weak_refused, "MD5-CRYPT"},
        {"secret", "{MD5-CRYPT}" + md5_crypt, "", true, vo::match, "MD5-CRYPT"},
        {"secret", "{CRYPT}" + des_crypt, "", false, vo::weak_refused, "DES-CRYPT"},
        {"secret", des_crypt, "CRYPT", true, vo::match, "DES-CRYPT"},
        {"secret", "{PLAIN-MD5}5ebe2294ecd0e0f08eab7690d2a6ee69", "", false, vo::weak_refused,
         "PLAIN-MD5"},
        {"secret", "{SMD5}2jLC7wjoKKk9O8JIabkotMjF8Vk=", "", true, vo::match, "SMD5"},
        {"x", "{ARGON2ID}" + argon2id_x, "", false, vo::match, "ARGON2ID"},
        {"x", "{ARGON2I}" + argon2id_x, "", false, vo::match, "ARGON2ID"},
        // bcrypt reads 72 bytes: the tail of a longer password is not read.
        {long_password, "{BLF-CRYPT}" + bcrypt_long, "", false, vo::match, "BLF-CRYPT"},
        {long_password.substr(0, 72) + "different tail", "{BLF-CRYPT}" + bcrypt_long, "", false,
         vo::match, "BLF-CRYPT"},
        // crypt(3) stops at a zero byte; such a password must not match its first part's value.
        {std::string("secret\0tail", 11), sha512_crypt, "CRYPT", false, vo::mismatch,
         "SHA512-CRYPT"},
        {"secret", "{NOPE}secret", "PLAIN", false, vo::unknown_scheme, ""},
        {"secret", "{CRAM-MD5}e02d374fde0dc75a17a557039a3a5338c7743304777dccd376f332bee68d2cf6", "",
         false, vo::unknown_scheme, ""},
        {"secret", "secret", "", false, vo::unknown_scheme, ""},
        {"secret", "secret", "NOPE", false, vo::unknown_scheme, ""},
        {"secret", std::nullopt, "PLAIN", false, vo::malformed, "PLAIN"},
        {"", "", "PLAIN", false, vo::malformed, "PLAIN"},
        {"", "{PLAIN}", "", false, vo::malformed, "PLAIN"},
        {"secret", "{SHA256}not base64!", "", false, vo::malformed, "SHA256"},
        {"secret", "{SHA256}K7gNU3sdo-OL0wNhqoVWhr3g6s1xYv72ol_pe_Unols=", "", false, vo::malformed,
         "SHA256"},
        {"secret", "{SHA256.HEX}2bb80d537b1da3e38bd30361aa855686bde0eacd7162fef6a25fe97bf527a2zz",
         "", false, vo::malformed, "SHA256"},
        {"secret", "{SHA256}c2VjcmV0", "", false, vo::malformed, "SHA256"},
        {"secret", "{SSHA}MTIzNDU2Nzg5MDEyMzQ1Njc4OTA=", "", false, vo::malformed, "SSHA"},
        {"secret", sha512_crypt.substr(0, sha512_crypt.size() - 1), "CRYPT", false, vo::malformed,
         "SHA512-CRYPT"},
        {"secret", "$6$1N5Y8z/gOt0cw3Oz$", "CRYPT", false, vo::malformed, "SHA512-CRYPT"},
        {"secret", "$2y$05$short", "CRYPT", false, vo::malformed, "BLF-CRYPT"},
        {"secret", "$9$what$ever", "CRYPT", false, vo::malformed, "CRYPT"},
        {"secret", "!", "CRYPT", false, vo::malformed, "CRYPT"},
        {"x", argon2id_x.substr(0, 40), "ARGON2ID", false, vo::malformed, "ARGON2ID"},
        {"x",
         "$argon2d$v=19$m=64,t=1,p=1$c29tZXNhbHRzYWx0$McDhSFxdmpSN/K3UYwJ9PyL+vd2F9NTuYqApeGKZGmY",
         "ARGON2ID", false, vo::malformed, "ARGON2ID"},
        {"x",
         "$argon2id$v=19$m=64,t=0,p=1$c29tZXNhbHRzYWx0$RtB0IUP3xEAuGSRvT45ywO3GGTcSp+PYO9ughMs0YdU",
         "ARGON2ID", false, vo::malformed, "ARGON2ID"},
        {over_crypt, sha512_crypt, "CRYPT", false, vo::mismatch, "SHA512-CRYPT"},
        {over_crypt.substr(0, 511), "{BLF-CRYPT}" + bcrypt_long, "", false, vo::mismatch,
         "BLF-CRYPT"},
        {over_crypt, yescrypt, "CRYPT", false, vo::mismatch, "YESCRYPT"},
        // One value above each family's ceiling.
        {"x",
         "$argon2id$v=19$m=8,t=4000000000,p=1$c29tZXNhbHRzYWx0$"
         "RtB0IUP3xEAuGSRvT45ywO3GGTcSp+PYO9ughMs0YdU",
         "ARGON2ID", false, vo::too_costly, "ARGON2ID"},
        {"x",
         "{ARGON2I}$argon2i$v=19$m=4294967295,t=1,p=1$c29tZXNhbHRzYWx0$"
         "RtB0IUP3xEAuGSRvT45ywO3GGTcSp+PYO9ughMs0YdU",
         "", false, vo::too_costly, "ARGON2I"},
        {"x", "$2y$31$" + bcrypt_tail, "CRYPT", false, vo::too_costly, "BLF-CRYPT"},
        {"x", "$2y$14$" + bcrypt_tail, "BLF-CRYPT", false, vo::too_costly, "BLF-CRYPT"},
        {"x", "$6$rounds=999999999" + crypt_tail, "CRYPT", false, vo::too_costly, "SHA512-CRYPT"},
        {"x", "$5$rounds=2000001" + crypt_tail, "SHA256-CRYPT", false, vo::too_costly,
         "SHA256-CRYPT"},
        {"x", "$y$jJT" + crypt_tail, "CRYPT", false, vo::too_costly, "YESCRYPT"},
        {"x", "$y$j9w9rD$saltsalt$hash", "CRYPT", false, vo::too_costly, "YESCRYPT"},  // r = 2^16
        {"x", "$gy$jET" + crypt_tail, "CRYPT", false, vo::too_costly, "GOST-YESCRYPT"},
        {"x", "$7$GU..../....saltsalt$hash", "CRYPT", false, vo::too_costly, "SCRYPT"},
        {"x", "{PBKDF2}$1$salt$2147483647$ebe7a55e2be86bcef2105a04ef4a889d5148081d", "", false,
         vo::too_costly, "PBKDF2"},
        {"x", "$sha1$4294967295$saltsalt$hash", "CRYPT", true, vo::too_costly, "SHA1-CRYPT"},
        {"x", "$md5,rounds=4294963199$saltsalt$$hash", "CRYPT", true, vo::too_costly,
         "SUN-MD5-CRYPT"},
        {"x", "_zzzzsaltHashHashHas", "CRYPT", true, vo::too_costly, "BSDI-CRYPT"},
        // Upgrades and ROMs leave yescrypt's cost unbounded here.
        {"x", "$y$j9T1.$saltsalt$hash", "CRYPT", false, vo::malformed, "YESCRYPT"},
        {"secret", "{PBKDF2}$1$salt$0$ebe7a55e2be86bcef2105a04ef4a889d5148081d", "", false,
         vo::malformed, "PBKDF2"},
        {"secret", "{PBKDF2}$1$salt$5000$ebe7a55e", "", false, vo::malformed, "PBKDF2"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE((r.stored ? *r.stored : std::string("NULL")) + " default " + r.default_scheme);
        verify_options options;
        options.allow_weak = r.allow_weak;
        std::optional<std::string_view> stored;
        if (r.stored) stored = *r.stored;
        verify_result got = verify_password(r.password, stored, r.default_scheme, options);
        EXPECT_EQ(verify_outcome_name(got.outcome), std::string(verify_outcome_name(r.outcome)))
            << got.detail;
        EXPECT_EQ(got.scheme, r.scheme);
        EXPECT_EQ(*got.detail == '\0', got.matched());
    }
}

// Costs small enough for the sanitizer build, and a cost still below each
// scheme's default.
make_params cheap(const std::string& scheme) {
    make_params p;
    p.scheme = scheme;
    if (scheme == "ARGON2ID") p.cost = 1, p.memory_kib = 64;
    if (scheme == "ARGON2I") p.cost = 3, p.memory_kib = 64;
    if (scheme == "BLF-CRYPT") p.cost = 4;
    if (scheme == "SHA512-CRYPT" || scheme == "SHA256-CRYPT") p.cost = 1000;
    if (scheme == "CRYPT") p.cost = 1;
    if (scheme == "PBKDF2") p.cost = 100;
    return p;
}

// The cost each family's value is held to, in its ceiling's unit, read as
// libxcrypt, libsodium and Dovecot write it; and the ceilings' bounds.
TEST_F(Schemes, CostHeldToItsCeiling) {
    struct row {
        std::string stored;
        const char* ceiling;
        unsigned long long work;
    };
    const row rows[] = {
        {yescrypt, "yescrypt", 16384},                       // libxcrypt's default: N 4096, r 32
        {"$y$jFT$salt$hash", "yescrypt", 1048576},           // its cost 11: N 2^18
        {"$y$j9T0/.$salt$hash", "yescrypt", 16384 * 3 * 2},  // p 3, t 1
        {"$gy$j9T$salt$hash", "yescrypt", 16384},
        {"$7$CU..../....salt$hash", "yescrypt", 65536},  // libxcrypt's default: N 2^14, r 32
        {"{ARGON2ID}$argon2id$v=19$m=65536,t=3,p=1$jYSZxgTlQlFxvWhrCGB9Pg$"
         "mPnzwT4YSuSeGgrFzbnfUGBXUwrR2/Ck3SCP8/7xNQI",
         "argon2", 196608},
        {"$2b$10$" + bcrypt_tail, "bcrypt", 10},
        {sha512_crypt, "sha_crypt", 5000},
        {"{PBKDF2}$1$opvpdb9Dq5fp6kM3$1000$1d2f04bfa773ae70f71b0c53e6bb405137d8489b", "pbkdf2",
         1000},
        {"_J9..saltHashHashHas", "legacy_crypt", 725},
        {"$md5,rounds=1000$salt$$hash", "legacy_crypt", 1000},
        {"$sha1$24680$salt$hash", "legacy_crypt", 24680},
        {md5_crypt, "", 0},
        {"{SSHA}2EUysP3AnQwAqGeYjceZPmQQssYBUaw4", "", 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.stored);
        stored_value_info info = inspect_stored_value(r.stored, "CRYPT");
        EXPECT_TRUE(info.well_formed) << info.detail;
        EXPECT_EQ(info.ceiling, std::string(r.ceiling));
        EXPECT_EQ(info.work, r.work);
    }
    // A value at its ceiling is verified, one above it is not.
    verify_options options;
    options.ceilings.sha_crypt = 5000;
    EXPECT_EQ(verify_password("secret", sha512_crypt, "CRYPT", options).outcome, vo::match);
    options.ceilings.sha_crypt = 4999;
    verify_result refused = verify_password("secret", sha512_crypt, "CRYPT", options);
    EXPECT_EQ(refused.outcome, vo::too_costly);
    EXPECT_EQ(refused.ceiling, std::string("sha_crypt"));
}

TEST_F(Schemes, MadeValuesVerifyAndAreJudgedForRehash) {
    const std::string password = "p\xc3\xa4ss \"w\\rd\xff";
    for (const scheme_listing& s : scheme_list()) {
        if (!s.makes) continue;
        SCOPED_TRACE(s.name);
        make_params params = cheap(s.name);
        make_result made = make_stored_value(password, params);
        ASSERT_TRUE(made.value) << made.error;
        EXPECT_EQ(made.value->rfind(std::string("{") + s.name + "}", 0), 0u);
        EXPECT_TRUE(verify_password(password, *made.value, "").matched());
        EXPECT_EQ(verify_password(password + "x", *made.value, "").outcome, vo::mismatch);
        EXPECT_FALSE(needs_rehash(*made.value, "", params));
        // Below the default cost wherever the scheme has one.
        bool costed = params.cost != 0;
        EXPECT_EQ(needs_rehash(*made.value, "", make_params{s.name, 0, 0}), costed);
        EXPECT_TRUE(needs_rehash(*made.value, "", make_params{}));
    }
}

TEST_F(Schemes, MakingRefusals) {
    struct row {
        std::string password;
        make_params params;
    };
    const row rows[] = {
        {"secret", {"MD5-CRYPT", 0, 0}},
        {"secret", {"PLAIN-MD5", 0, 0}},
        {"secret", {"NOPE", 0, 0}},
        {"", {"SSHA512", 0, 0}},
        {long_password, {"BLF-CRYPT", 4, 0}},
        {std::string("sec\0ret", 7), {"SHA512-CRYPT", 1000, 0}},
        {"secret", {"SHA512-CRYPT.HEX", 1000, 0}},
        {"secret", {"BLF-CRYPT", 99, 0}},
        {"secret", {"ARGON2I", 1, 64}},
        {"secret", {"ARGON2ID", 1, 4}},
        {over_crypt, {"SHA512-CRYPT", 1000, 0}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.params.scheme);
        make_result made = make_stored_value(r.password, r.params);
        EXPECT_FALSE(made.value);
        EXPECT_NE(*made.error, '\0');
    }
}

TEST_F(Schemes, RehashJudgesSchemeAndCost) {
    struct row {
        std::string stored, default_scheme;
        make_params target;
        bool rehash;
    };
    const std::string argon2id_dovecot =
        "{ARGON2ID}$argon2id$v=19$m=65536,t=3,p=1$jYSZxgTlQlFxvWhrCGB9Pg$"
        "mPnzwT4YSuSeGgrFzbnfUGBXUwrR2/Ck3SCP8/7xNQI";
    const row rows[] = {
        {"{MD5-CRYPT}" + md5_crypt, "", {}, true},
        {md5_crypt, "CRYPT", {"SHA512-CRYPT", 0, 0}, true},
        {argon2id_dovecot, "", {}, false},
        {argon2id_dovecot, "", {"ARGON2ID", 4, 0}, true},
        {argon2id_dovecot, "", {"ARGON2ID", 0, 131072}, true},
        {argon2id_dovecot, "", {"ARGON2I", 0, 0}, true},
        {argon2id_x, "ARGON2ID", {}, true},
        {sha512_crypt, "CRYPT", {"SHA512-CRYPT", 0, 0}, false},
        {sha512_crypt, "CRYPT", {"SHA512-CRYPT", 10000, 0}, true},
        {"$6$rounds=1000$0so0Q8T8w2FpZO7a$6NLFzm3yzrBZdAlDuN0GtExwexmbE0i1IhtvUwhLkE6v4H0iON1ngeU2K"
         "SK58ZkcMcmly0JbdrXhfgH2XqXmV0",
         "SHA512-CRYPT",
         {"SHA512-CRYPT", 0, 0},
         true},
        {"{BLF-CRYPT}" + bcrypt_long, "", {"BLF-CRYPT", 10, 0}, true},
        {"$2b$10$aAsn8Mtubtg0wfAMdnZ5M.m5XyKDQlIzL7B.Y61eRd3n6nSR3nKzW",
         "CRYPT",
         {"BLF-CRYPT", 0, 0},
         false},
        {"$y$j75$.00Sj5a8lH0lsy/7LtvEB/$qmpufRmLZZCde65R2XWUPGZv3awZqpI3R0WAeC26JK.",
         "CRYPT",
         {"CRYPT", 0, 0},
         true},
        {"$y$j75$.00Sj5a8lH0lsy/7LtvEB/$qmpufRmLZZCde65R2XWUPGZv3awZqpI3R0WAeC26JK.",
         "CRYPT",
         {"CRYPT", 1, 0},
         false},
        {"{PBKDF2}$1$opvpdb9Dq5fp6kM3$1000$1d2f04bfa773ae70f71b0c53e6bb405137d8489b",
         "",
         {"PBKDF2", 0, 0},
         true},
        {"{CLEAR}secret", "", {"PLAIN", 0, 0}, false},
        {"{SHA1}5en6G6MezRroT3XKqkdPOmY/BfQ=", "", {"SHA", 0, 0}, false},
        {"{SHA1}5en6G6MezRroT3XKqkdPOmY/BfQ=", "", {"SSHA512", 0, 0}, true},
        {"{SHA512-CRYPT}!", "", {}, false},
        {"{NOPE}x", "", {}, false},
        // Never into a weaker family; into another of the same strength, yes.
        {argon2id_dovecot, "", {"SSHA512", 0, 0}, false},
        {argon2id_dovecot, "", {"SHA512-CRYPT", 0, 0}, false},
        {yescrypt, "CRYPT", {"BLF-CRYPT", 0, 0}, false},
        {"{BLF-CRYPT}" + bcrypt_long, "", {"PBKDF2", 0, 0}, false},
        {sha512_crypt, "CRYPT", {"SSHA", 0, 0}, false},
        {yescrypt, "CRYPT", {"ARGON2ID", 0, 0}, true},
        {argon2id_dovecot, "", {"CRYPT", 0, 0}, true},
        {sha512_crypt, "CRYPT", {"PBKDF2", 0, 0}, true},
        {md5_crypt, "CRYPT", {"SSHA", 0, 0}, true},
        {"{CLEAR}secret", "", {"SSHA", 0, 0}, true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.stored + " -> " + r.target.scheme);
        EXPECT_EQ(needs_rehash(r.stored, r.default_scheme, r.target), r.rehash);
    }
}

// What a rewrite may start from: the bytes of the password the stored value
// read (DES crypt 8, bigcrypt 8 for each 11 characters, bcrypt 72), and
// which targets it may write.
TEST_F(Schemes, RewriteLimits) {
    const std::pair<std::string, std::size_t> read[] = {
        {des_crypt, 8},
        {des_crypt + "abcdefghijk", 16},
        {"{BLF-CRYPT}" + bcrypt_long, 72},
        {"$2x$05$" + bcrypt_tail, 72},
        {sha512_crypt, SIZE_MAX},
        {"{PLAIN}secret", SIZE_MAX},
        {"{SHA512-CRYPT}!", SIZE_MAX},
    };
    for (const auto& r : read)
        EXPECT_EQ(password_bytes_read(r.first, "CRYPT"), r.second) << r.first;
    for (const char* refused :
         {"PLAIN", "clear.b64", "SHA", "SHA256.HEX", "SHA512", "PLAIN-MD5", "MD5-CRYPT"})
        EXPECT_NE(rehash_target_refusal(refused), nullptr) << refused;
    for (const char* taken : {"SSHA", "PBKDF2", "SHA512-CRYPT", "BLF-CRYPT", "CRYPT", "ARGON2ID"})
        EXPECT_EQ(rehash_target_refusal(taken), nullptr) << taken;
}

// The dummy of every scheme that makes values is of the family and cost of
// a value made with the scheme's defaults (yescrypt's parameters included);
// the weak schemes' is a fixed value of theirs. None matches, above a
// ceiling or not.
TEST_F(Schemes, UnknownUsersDummy) {
    for (const scheme_listing& s : scheme_list()) {
        SCOPED_TRACE(s.name);
        make_params defaults;
        defaults.scheme = s.name;
        make_result dummy = make_dummy_value(defaults);
        ASSERT_TRUE(dummy.value) << dummy.error;
        stored_value_info got = inspect_stored_value(*dummy.value, "");
        EXPECT_TRUE(got.well_formed);
        EXPECT_EQ(got.weak, s.weak);
        if (s.weak) continue;
        stored_value_info want = inspect_stored_value(*make_stored_value("x", defaults).value, "");
        EXPECT_EQ(got.scheme, std::string(want.scheme));
        EXPECT_EQ(got.ceiling, std::string(want.ceiling));
        EXPECT_EQ(got.work, want.work);
        EXPECT_EQ(inspect_make_params(defaults).work, want.work);
        EXPECT_EQ(got.cost, want.cost);
        EXPECT_EQ(got.memory_kib, want.memory_kib);
    }
    make_result hex = make_dummy_value(make_params{"ARGON2ID.HEX", 1, 64});
    ASSERT_TRUE(hex.value) << hex.error;

    struct row {
        std::string password, dummy;
        bool allow_weak;
        vo outcome;
    };
    const row rows[] = {
        {"x", "{ARGON2ID}" + argon2id_x, false, vo::mismatch},
        {"secret", sha512_crypt, false, vo::mismatch},
        {"x", *hex.value, false, vo::mismatch},
        {"secret", *make_dummy_value(make_params{"MD5-CRYPT", 0, 0}).value, false,
         vo::weak_refused},
        {"secret", "{MD5-CRYPT}" + md5_crypt, true, vo::mismatch},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.dummy);
        verify_options options;
        options.allow_weak = r.allow_weak;
        options.ceilings.sha_crypt = 999;
        EXPECT_EQ(verify_unknown_user(r.password, r.dummy, "SHA512-CRYPT", options).outcome,
                  r.outcome);
    }
}

}  // namespace
