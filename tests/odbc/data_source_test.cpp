// The pieces of a connect string, and the passwords hidden in a driver's
// text, however a value is quoted.
#include <gtest/gtest.h>

#include "odbc/data_source.h"

namespace {

TEST(ConnectString, ValuesOfKeysBracesUndone) {
    using opt = std::optional<std::string>;
    struct row {
        const char* connect;
        const char* key;
        opt value;
    };
    const row rows[] = {
        {"DSN=quillmar;UID=joe;PWD=s3cret;", "PWD", "s3cret"},
        {"dsn=quillmar;pwd=s3cret", "PWD", "s3cret"},
        {"DSN=my dsn;UID={a;b};PWD={p}}w{};", "PWD", "p}w{"},
        {"DSN=my dsn;UID={a;b};PWD={p}}w{};", "UID", "a;b"},
        {"DSN=x;Password={;x};PWD=y", "Password", ";x"},
        {"DSN=x;UID=PWD=y;", "PWD", opt()},
        {"DSN=x;PWD=;", "PWD", ""},
        {"DSN=x;UID=joe", "PWD", opt()},
    };
    for (const row& r : rows)
        EXPECT_EQ(connect_string_value(r.connect, r.key), r.value) << r.connect << " " << r.key;
}

TEST(ConnectString, SecretsHiddenLongestFirst) {
    EXPECT_EQ(hide_secrets("x abcd y ab z", {"ab", "abcd"}), "x **** y **** z");
    EXPECT_EQ(hide_secrets("nothing here", {"", "absent"}), "nothing here");
    EXPECT_EQ(connect_secrets("DSN=qm_no_such_source;PWD={p}}w{};"),
              std::vector<std::string>{"p}w{"});
}

}  // namespace
