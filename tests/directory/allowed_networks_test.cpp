// A user's allowed networks against client addresses: prefixes at their
// bounds, IPv4 met in IPv6's mapped form, IPv6's compressed spellings, the
// separators, and entries that are no network refusing whatever matched.
#include <gtest/gtest.h>

#include "directory/allowed_networks.h"

namespace {

TEST(AllowedNetworks, ListsAgainstAddresses) {
    constexpr networks_verdict in = networks_verdict::inside, out = networks_verdict::outside,
                               bad = networks_verdict::unreadable;
    struct row {
        const char *list, *client;  // client null: a given text that is no address
        networks_verdict verdict;
        std::size_t entry;  // the unreadable one
    };
    const row rows[] = {
        {" , ,\t", "2001:db8::1", in, 0},  // nothing listed restricts nothing
        {"0.0.0.0/0", "198.51.100.9", in, 0},
        {"0.0.0.0/0", "2001:db8::1", out, 0},
        {"::/0", "2001:db8::1", in, 0},
        {"192.0.2.1/32", "192.0.2.2", out, 0},
        {"192.0.2.1", "192.0.2.1", in, 0},
        {"2001:db8::5/128", "2001:db8::4", out, 0},
        {"::1", "::1", in, 0},
        {"192.0.2.77/24", "192.0.2.255", in, 0},
        {"2001:db8::/32", "2001:db9::1", out, 0},
        {"192.0.2.0/24", "::ffff:c000:201", in, 0},  // mapped, either way round
        {"::ffff:192.0.2.0/120", "192.0.2.9", in, 0},
        {"::ffff:192.0.2.0/120", "192.0.3.9", out, 0},
        {"192.0.2.0/24", "::192.0.2.1", out, 0},  // compatible, not mapped
        {"2001:0DB8:0000:0000:0000:0000:0000:0005", "2001:db8::5", in, 0},
        {"2001:db8:0:0:1::/80", "2001:db8::1:0:0:7", in, 0},
        {"  10.0.0.0/8 ,\t 192.0.2.0/24 ,, ::1  ", "192.0.2.3", in, 0},
        {"192.0.2.0/24 2001:db8::/32", "198.51.100.1", out, 0},
        {"192.0.2.0/24", nullptr, out, 0},
        {"192.0.2.0/33", "192.0.2.1", bad, 1},
        {"2001:db8::/129", "2001:db8::1", bad, 1},
        {"192.0.2.0/", "192.0.2.1", bad, 1},
        {"192.0.2.0/-1", "192.0.2.1", bad, 1},
        {"192.0.2.0/24/8", "192.0.2.1", bad, 1},
        {"192.0.2", "192.0.2.1", bad, 1},
        {"192.0.2.0;10.0.0.0/8", "192.0.2.1", bad, 1},
        {"fe80::1%eth0", "fe80::1", bad, 1},
        {"::1, 192.0.2.0/24, mail.example.org", "::1", bad, 3},
        // ::/8 written for 10.0.0.0/8 would allow every IPv4 client.
        {"::ffff:10.0.0.0/8", "10.1.2.3", bad, 1},
        {"192.0.2.0/24 ::ffff:0:0/95", "198.51.100.1", bad, 2},
        {"::ffff:0:0/96", "198.51.100.1", in, 0},
    };
    for (const row& r : rows) {
        const auto client = r.client ? read_client_address(r.client) : std::nullopt;
        const networks_answer answer = match_allowed_networks(r.list, client);
        EXPECT_EQ(answer.verdict, r.verdict)
            << "[" << r.list << "] " << (r.client ? r.client : "-");
        EXPECT_EQ(answer.entry, r.entry) << "[" << r.list << "]";
    }
}

}  // namespace
