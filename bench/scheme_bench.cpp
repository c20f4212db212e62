// Cost of verifying a password per scheme at the costs values are made at:
// the whole verification beside the bare library call under it (memcmp,
// crypt_rn, crypto_pwhash_str_verify), so that what the scheme code adds is
// seen apart from the hash; and, for each scheme, a user the table does not
// hold (verified against the dummy value) beside a known user's wrong
// password, which must cost the same.
//
//   scheme_bench [--seconds S]    (time per measurement, default 2)
#include <crypt.h>
#include <openssl/crypto.h>
#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "schemes/schemes.h"

namespace {

using clock_type = std::chrono::steady_clock;

struct figures {
    double median_us = 0, p99_us = 0;
    std::size_t runs = 0;
};

// Runs the steps in turn until `seconds` have passed (each at least 5
// times), so that a change in the machine's load falls on all of them alike.
std::vector<figures> measure(double seconds, const std::vector<std::function<void()>>& steps) {
    std::vector<std::vector<double>> micros(steps.size());
    auto end = clock_type::now() + std::chrono::duration<double>(seconds);
    while (micros[0].size() < 5 || clock_type::now() < end) {
        for (std::size_t i = 0; i < steps.size(); ++i) {
            auto start = clock_type::now();
            steps[i]();
            micros[i].push_back(
                std::chrono::duration<double, std::micro>(clock_type::now() - start).count());
        }
    }
    std::vector<figures> out;
    for (std::vector<double>& m : micros) {
        std::sort(m.begin(), m.end());
        out.push_back({m[m.size() / 2], m[std::min(m.size() - 1, m.size() * 99 / 100)], m.size()});
    }
    return out;
}

// The one library call the scheme's verification makes, on the bare value.
std::function<bool()> library_call(const std::string& scheme, const std::string& bare,
                                   const std::string& password) {
    if (scheme == "PLAIN")
        return [bare, password] {
            return bare.size() == password.size() &&
                   CRYPTO_memcmp(bare.data(), password.data(), bare.size()) == 0;
        };
    if (scheme == "ARGON2ID")
        return [bare, password] {
            return crypto_pwhash_str_verify(bare.c_str(), password.data(), password.size()) == 0;
        };
    return [bare, password] {
        auto data = std::make_unique<crypt_data>();
        const char* out = crypt_rn(password.c_str(), bare.c_str(), data.get(), sizeof *data);
        return out && bare == out;
    };
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 2;
    for (int i = 1; i + 1 < argc; i += 2)
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
    if (!schemes_init()) return 1;
    const std::string password = "correct horse battery", wrong = "correct horse batterY";
    std::printf("verification per scheme, default costs, median (p99) in microseconds\n");
    std::printf("%-13s %24s %24s %9s %24s\n", "scheme", "known user, wrong pw", "library call",
                "ours", "unknown user");
    for (const std::string scheme : {"PLAIN", "SHA512-CRYPT", "ARGON2ID"}) {
        make_params params;
        params.scheme = scheme;
        std::string value = *make_stored_value(password, params).value;
        std::string bare = value.substr(value.find('}') + 1);
        const std::string dummy = *make_dummy_value(params).value;
        std::function<bool()> call = library_call(scheme, bare, wrong);
        bool sink = false;
        std::vector<figures> f = measure(
            seconds,
            {[&] { sink ^= verify_password(wrong, value, "").matched(); }, [&] { sink ^= call(); },
             [&] { sink ^= verify_unknown_user(wrong, dummy, scheme).matched(); }});
        const figures &whole = f[0], &library = f[1], &unknown = f[2];
        std::printf("%-13s %12.2f (%9.2f) %12.2f (%9.2f) %9.2f %12.2f (%9.2f)  %zu runs\n",
                    scheme.c_str(), whole.median_us, whole.p99_us, library.median_us,
                    library.p99_us, whole.median_us - library.median_us, unknown.median_us,
                    unknown.p99_us, whole.runs);
        if (sink) std::printf("(a wrong password matched)\n");
    }
    std::printf(
        "\"ours\" is the median of the whole verification less the library call's;\n"
        "the unknown user is verified against the scheme's dummy value at its defaults\n");
    return 0;
}
