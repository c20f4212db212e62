// The directory's settings, the select list, the address test and the
// result record, none of which needs a database.
#include <gtest/gtest.h>

#include "dbwrap/log_capture.h"
#include "directory/directory.h"
#include "support/paired_timing.h"

namespace {

struct fresh_settings : ::testing::Test {
    void SetUp() override { directory_init(); }
    void TearDown() override {
        directory_cleanup();
        mail_uid = 0;
    }
};

TEST_F(fresh_settings, InitGivesTheFourDefaults) {
    EXPECT_EQ(odbc_settings.odbc_server, "localhost");
    EXPECT_EQ(odbc_settings.odbc_mail_user_db, "maildb");
    EXPECT_EQ(odbc_settings.odbc_mail_user_table, "maildb");
    EXPECT_EQ(odbc_settings.odbc_driver_name, "quillmar");
    EXPECT_FALSE(odbc_settings.odbc_login);
    EXPECT_FALSE(odbc_settings.odbc_password);
    EXPECT_FALSE(odbc_settings.odbc_mail_uid);
    EXPECT_FALSE(odbc_settings.field_username);
    EXPECT_FALSE(odbc_settings.field_maildrop);
}

TEST_F(fresh_settings, LoadMatchesWholeKeysInAnyAsciiCase) {
    struct row {
        const char* key;
        const char* value;
        std::optional<std::string> odbc_settings_record::*field;  // null: ignored
    };
    const row rows[] = {
        {"odbc_server", "db.example", &odbc_settings_record::odbc_server},
        {"ODBC_Login", "joe", &odbc_settings_record::odbc_login},
        {"odbc_password", "pw", &odbc_settings_record::odbc_password},
        {"odbc_mail_user_db", "x", &odbc_settings_record::odbc_mail_user_db},
        {"odbc_mail_user_table", "users", &odbc_settings_record::odbc_mail_user_table},
        {"odbc_mail_uid", "12", &odbc_settings_record::odbc_mail_uid},
        {"odbc_driver_name", "dsn", &odbc_settings_record::odbc_driver_name},
        {"FIELD_USERNAME", "user", &odbc_settings_record::field_username},
        {"field_password", "pass", &odbc_settings_record::field_password},
        {"field_forward", "fwd", &odbc_settings_record::field_forward},
        {"field_quota", "quota", &odbc_settings_record::field_quota},
        {"field_mailmask", "mask", &odbc_settings_record::field_mailmask},
        {"Field_MailDrop", "drop", &odbc_settings_record::field_maildrop},
        {"Field_Allow_Nets", "nets", &odbc_settings_record::field_allow_nets},
        {"ODBC_Fast_Path", "TRUE", &odbc_settings_record::odbc_fast_path},
        {"field_username ", "nope", nullptr},
        {"field_user", "nope", nullptr},
        {"unknown", "nope", nullptr},
    };
    for (const row& r : rows) {
        int stored = directory_load(r.key, r.value);
        EXPECT_EQ(stored, r.field ? 1 : 0) << r.key;
        if (r.field) {
            EXPECT_EQ(odbc_settings.*r.field, r.value) << r.key;
        }
    }
    EXPECT_EQ(odbc_settings.field_username, "user");  // the ignored keys changed nothing
    directory_load("field_username", "login");
    EXPECT_EQ(odbc_settings.field_username, "login");  // the later value stays

    directory_cleanup();
    const odbc_settings_record empty{};
    EXPECT_EQ(odbc_settings.odbc_server, empty.odbc_server);
    EXPECT_EQ(odbc_settings.odbc_driver_name, empty.odbc_driver_name);
    EXPECT_EQ(odbc_settings.field_maildrop, empty.field_maildrop);
}

TEST_F(fresh_settings, SelectListHasAFixedOrder) {
    directory_load("field_allow_nets", "nets");
    directory_load("field_maildrop", "drop");
    directory_load("field_password", "pass");
    directory_load("field_mailmask", "mask");
    directory_load("field_username", "user");
    directory_load("field_quota", "quota");
    directory_load("field_forward", "fwd");
    EXPECT_EQ(directory_select_list(odbc_settings), "user,pass,fwd,quota,mask,drop,nets");

    odbc_settings_record two;
    two.field_username = "u";
    two.field_password = "p";
    EXPECT_EQ(directory_select_list(two), "u,p");
    two.field_mailmask = "m";
    EXPECT_EQ(directory_select_list(two), "u,p,m");
}

TEST(IpMask, ReadsDottedQuadsAsAddresses) {
    struct row {
        const char* text;
        std::uint32_t value;
    };
    const row rows[] = {
        {"0", 0},
        {"0.0.0.0", 0},
        {"*.*.*.*", 0},
        {"", 0},
        {"10.0.0.1", 0x0A000001u},
        {"192.168.1.10", 0xC0A8010Au},
        {"255.255.255.255", 0xFFFFFFFFu},
        {"10.0.0.1 and more words", 0x0A000001u},
        {"1..2", 0x00010002u},
        {" 7", 7},
        {"-1", 0xFFFFFFFFu},
        {"1.2.3.4.5", 0x02030405u},  // more fields shift the first ones out
    };
    for (const row& r : rows) EXPECT_EQ(ip_mask_value(r.text), r.value) << r.text;
}

TEST(IpMask, AddressPassesWhenItHoldsEveryMaskBit) {
    struct row {
        const char* address;
        const char* mask;
        bool passes;
    };
    const row rows[] = {
        {"10.0.0.1", "10.0.0.1", true},
        {"10.0.0.1", "10.0.0.0", true},
        {"192.168.1.10", "192.168.0.0", true},
        {"10.0.0.1", "10.0.1.0", false},
        {"1.2.3.4", "0", true},
        {"1.2.3.4", "0.0.0.0", true},
        {"1.2.3.4", "*.*.*.*", true},
        {"10.0.0.1", "138.0.0.0", false},  // the top bit counts too
        {"138.0.0.1", "138.0.0.0", true},
        {"192.168.0.1", "192.168.1.0", false},
    };
    for (const row& r : rows)
        EXPECT_EQ(ip_mask_passes(ip_mask_value(r.address), ip_mask_value(r.mask)), r.passes)
            << r.address << " against " << r.mask;
}

// Without a password scheme the row's password must equal the given one byte
// for byte (the blanks that pad a CHAR column aside), and a wrong one takes
// as long when it goes wrong at its first byte as at its last.
TEST(StoredPassword, SameBytesInConstantTime) {
    struct row {
        std::optional<std::string> stored;
        std::string given;
        bool same;
    };
    const row rows[] = {
        {"secret", "secret", true},
        {"secret   ", "secret", true},
        {"Secret", "secret", false},
        {"secret", "secret ", false},
        {"secre", "secret", false},
        {"secret", "secre", false},
        {"", "", true},
        {"   ", "", true},
        {std::nullopt, "", false},
    };
    for (const row& r : rows)
        EXPECT_EQ(same_stored_password(r.stored, r.given), r.same)
            << r.stored.value_or("(NULL)") << " against " << r.given;

    const std::optional<std::string> stored = std::string(1 << 16, 's') + "  ";
    std::string early(1 << 16, 's'), late = early;
    early.front() = 'x';
    late.back() = 'x';
    const double ratio = qmtest::ratio_within(
        0.9, 1.1, [&] { (void)same_stored_password(stored, early); },
        [&] { (void)same_stored_password(stored, late); }, 201);
    EXPECT_GE(ratio, 0.9);
    EXPECT_LE(ratio, 1.1);
}

// A stored value that would change the fields of the "+OK" line (a blank
// in the mail drop shifts the uid, a double quote in an option adds options
// of its own) refuses the record with an error line naming the field. The
// blanks that pad a CHAR column are no part of the mail drop.
TEST_F(fresh_settings, ResultRecordFromTheRowStore) {
    directory_load("field_username", "user");
    directory_load("field_password", "pass");
    directory_load("field_forward", "fwd");
    directory_load("field_quota", "quota");
    directory_load("field_mailmask", "mask");
    directory_load("field_maildrop", "drop");
    directory_load("odbc_mail_uid", "12");
    using opt = std::optional<std::string>;
    struct row {
        opt forward, quota, mask, drop;
        opt options, mailmask, maildrop;
        const char* refused = nullptr;
    };
    const row rows[] = {
        {"NULL", "100", "", "", "quota=\"100\"", {}, {}},
        {"null", "100", {}, {}, "quota=\"100\"", {}, {}},
        {"Null", "", {}, {}, {}, {}, {}},
        {"fwdbox", "100", "10.0.0.0", "/var/mail/bob", "fwd=\"fwdbox\" quota=\"100\"", "10.0.0.0",
         "/var/mail/bob"},
        {"", "", "", "", {}, {}, {}},
        {"fwdbox", "", {}, {}, "fwd=\"fwdbox\"", {}, {}},
        {"", "NULL", {}, {}, "quota=\"NULL\"", {}, {}},
        {"nulls", {}, {}, {}, "fwd=\"nulls\"", {}, {}},
        {"", "", "", "/var/mail/pad   ", {}, {}, "/var/mail/pad"},
        {"", "", "", "   ", {}, {}, {}},
        {"a b", "5 GB", "", "/m", "fwd=\"a b\" quota=\"5 GB\"", {}, "/m"},
        {"", "", "", "/var/mail/x 8", {}, {}, {}, "maildrop holds a blank (column drop)"},
        {"", "", "", "/var/mail/x\t8", {}, {}, {}, "maildrop holds a blank (column drop)"},
        {"me@x.org\" quota=\"0",
         "1",
         "",
         "",
         {},
         {},
         {},
         "forward holds a double quote (column fwd)"},
        {"NULL", "1\" fwd=\"x", "", "", {}, {}, {}, "quota holds a double quote (column quota)"},
    };
    log_capture log;
    for (const row& r : rows) {
        SCOPED_TRACE(r.forward.value_or("") + " / " + r.quota.value_or("") + " / " +
                     r.drop.value_or(""));
        log.clear();
        row_value_table values{};
        values[0] = "bob";
        values[1] = "secret";
        values[2] = r.forward;
        values[3] = r.quota;
        values[4] = r.mask;
        values[5] = r.drop;
        mail_uid = 0;
        auth_result* result = build_auth_result(values);
        EXPECT_EQ(mail_uid, 12);
        if (r.refused) {
            EXPECT_EQ(result, nullptr);
            EXPECT_EQ(log.messages(),
                      std::vector<std::string>{"ERROR: Stored " + std::string(r.refused) +
                                               ": answered as a failure"});
            continue;
        }
        EXPECT_EQ(log.messages(), std::vector<std::string>{});
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(result->user, "bob");
        EXPECT_EQ(result->password, "secret");
        EXPECT_EQ(result->options, r.options);
        EXPECT_EQ(result->mailmask, r.mailmask);
        EXPECT_EQ(result->maildrop, r.maildrop);
    }
}

// odbc_mail_uid is a number from 0 to 4294967295; anything else gives no
// uid (0), never a clamped or negative one, and one error line however
// often it is read.
TEST_F(fresh_settings, MailUidOutsideItsRange) {
    struct row {
        const char* setting;
        long uid;
        bool error;
    };
    const row rows[] = {
        {"12", 12, false},
        {"abc", 0, false},
        {" +7x", 7, false},
        {"4294967295", 4294967295L, false},
        {"4294967296", 0, true},
        {"-1", 0, true},
        {"99999999999999999999", 0, true},
        {"-99999999999999999999", 0, true},
    };
    log_capture log;
    for (const row& r : rows) {
        SCOPED_TRACE(r.setting);
        directory_load("odbc_mail_uid", r.setting);
        log.clear();
        for (int i = 0; i < 2; ++i) {
            row_value_table values{};
            build_auth_result(values);
            EXPECT_EQ(mail_uid, r.uid);
        }
        std::vector<std::string> expected;
        if (r.error)
            expected.push_back("ERROR: odbc_mail_uid (" + std::string(r.setting) +
                               ") is not a number from 0 to 4294967295: mail uid 0 used");
        EXPECT_EQ(log.messages(), expected);
    }
}

TEST_F(fresh_settings, PositionsSkipTheColumnsNotSet) {
    directory_load("field_username", "user");
    directory_load("field_password", "pass");
    directory_load("field_maildrop", "drop");
    row_value_table values{};
    values[0] = "ann";
    values[1] = "pw";
    values[2] = "/mail/ann";
    auth_result* result = build_auth_result(values);
    EXPECT_EQ(result->maildrop, "/mail/ann");
    EXPECT_FALSE(result->options);
    EXPECT_FALSE(result->mailmask);
    EXPECT_EQ(mail_uid, 0);
}

// The statement is made from the settings in force at each command: one
// changed between two commands shows in the next statement sent. (No
// database is open here, so each query fails after its statement line.)
TEST_F(fresh_settings, StatementFollowsTheSettingsOfEachCommand) {
    log_capture log;
    auto sent = [&] {
        std::vector<std::string> out;
        for (const std::string& m : log.messages())
            if (m.rfind("...Sending Query {", 0) == 0) out.push_back(m.substr(18, m.size() - 19));
        log.clear();
        return out;
    };
    directory_load("field_username", "user");
    directory_load("field_password", "pass");
    directory_load("odbc_mail_user_table", "mail");
    struct step {
        const char* key;
        const char* value;
        bool check;
        const char* statement;
    };
    const step steps[] = {
        {nullptr, nullptr, true, "SELECT user,pass FROM mail WHERE user=? AND pass=?"},
        {nullptr, nullptr, false, "SELECT user,pass FROM mail WHERE user=?"},
        {"field_quota", "q", true, "SELECT user,pass,q FROM mail WHERE user=? AND pass=?"},
        {"field_quota", "q2", true, "SELECT user,pass,q2 FROM mail WHERE user=? AND pass=?"},
        {"odbc_mail_user_table", "box", false, "SELECT user,pass,q2 FROM box WHERE user=?"},
        {"field_password", "pw", true, "SELECT user,pw,q2 FROM box WHERE user=? AND pw=?"},
        {nullptr, nullptr, true, "SELECT user,pw,q2 FROM box WHERE user=? AND pw=?"},
    };
    for (const step& s : steps) {
        SCOPED_TRACE(s.statement);
        if (s.key) directory_load(s.key, s.value);
        command_words words{std::string(s.check ? "check" : "lookup"),
                            std::string("bob@example.org"), std::string("pw"), std::nullopt};
        EXPECT_EQ(s.check ? directory_check(words) : directory_lookup(words), nullptr);
        EXPECT_EQ(sent(), std::vector<std::string>{s.statement});
    }
}

TEST(ModuleTable, DirectoryFillsEverySlot) {
    auth_module_table base{};
    base.names = auth_command_names;
    base.help = [](command_words&) {};
    auth_module_table table = directory_auth_module(base);
    EXPECT_STREQ(table.names[1], "check");
    EXPECT_STREQ(table.names[11], "version");
    EXPECT_EQ(table.load, &directory_load);
    EXPECT_EQ(table.init, &directory_init);
    EXPECT_EQ(table.cleanup, &directory_cleanup);
    EXPECT_EQ(table.start, &directory_start);
    EXPECT_EQ(table.exit, &directory_exit);
    EXPECT_EQ(table.check, &directory_check);
    EXPECT_EQ(table.lookup, &directory_lookup);
    EXPECT_EQ(table.setting_notes, &directory_setting_notes);
    EXPECT_EQ(table.help, base.help);  // the front end's own help stays
    command_words words{};
    EXPECT_EQ(directory_exit(words), 1);
}

}  // namespace
