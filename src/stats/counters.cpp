#include "stats/counters.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

process_counters process_stats;

void count_query(std::chrono::nanoseconds took, bool failed) {
    const std::uint64_t ns = took.count() > 0 ? static_cast<std::uint64_t>(took.count()) : 0;
    std::size_t bucket = 0;
    while (bucket < query_bucket_bounds.size() && ns > query_bucket_bounds[bucket]) ++bucket;
    ++process_stats.query_buckets[bucket];
    process_stats.query_nanoseconds += ns;
    if (failed) ++process_stats.query_failures;
}

void count_hash(const char* scheme, std::chrono::nanoseconds took) {
    if (!scheme || !*scheme) return;
    scheme_hash_counts* counts = &process_stats.other_hashes;
    for (scheme_hash_counts& c : process_stats.hashes) {
        // The names are fixed texts, so the pointer nearly always decides.
        if (!c.scheme) c.scheme = scheme;
        if (c.scheme == scheme || std::strcmp(c.scheme, scheme) == 0) {
            counts = &c;
            break;
        }
    }
    ++counts->hashes;
    counts->nanoseconds += took.count() > 0 ? static_cast<std::uint64_t>(took.count()) : 0;
}

namespace {

// The lines of one exposition, family by family.
class exposition_writer {
public:
    void family(const char* name, const char* type, const char* help) {
        text_ += "# HELP ";
        text_ += name;
        text_ += ' ';
        text_ += help;
        text_ += "\n# TYPE ";
        text_ += name;
        text_ += ' ';
        text_ += type;
        text_ += '\n';
    }
    // `label` is name="value" with the value already safe, or null.
    void sample(const char* name, const char* label, std::uint64_t value) {
        head(name, label);
        char digits[24];
        std::snprintf(digits, sizeof digits, "%" PRIu64 "\n", value);
        text_ += digits;
    }
    // Nanoseconds written as seconds, exactly: nine decimals.
    void seconds(const char* name, const char* label, std::uint64_t ns) {
        head(name, label);
        char digits[40];
        std::snprintf(digits, sizeof digits, "%" PRIu64 ".%09" PRIu64 "\n", ns / 1'000'000'000,
                      ns % 1'000'000'000);
        text_ += digits;
    }
    std::string take() { return std::move(text_); }

private:
    void head(const char* name, const char* label) {
        text_ += name;
        if (label) {
            text_ += '{';
            text_ += label;
            text_ += '}';
        }
        text_ += ' ';
    }
    std::string text_;
};

// A label value from a scheme name: a quote, a backslash or a line break
// would end the sample line early.
std::string scheme_label(const char* scheme) {
    std::string label = "scheme=\"";
    for (const char* p = scheme; *p; ++p) {
        if (*p == '\\' || *p == '"') label += '\\';
        label += *p == '\n' ? 'n' : *p;
    }
    return label + "\"";
}

// One label for each count, in the order of the outcome's values.
template <std::size_t n>
void samples(exposition_writer& out, const char* name, const std::array<std::uint64_t, n>& counts,
             const char* const (&labels)[n]) {
    for (std::size_t i = 0; i < n; ++i) out.sample(name, labels[i], counts[i]);
}

// Go's way of writing the bounds, as other exporters' le labels read.
const char* const bucket_labels[] = {
    "le=\"2.5e-05\"", "le=\"5e-05\"",  "le=\"0.0001\"", "le=\"0.00025\"", "le=\"0.0005\"",
    "le=\"0.001\"",   "le=\"0.0025\"", "le=\"0.005\"",  "le=\"0.01\"",    "le=\"0.025\"",
    "le=\"0.05\"",    "le=\"0.1\"",    "le=\"0.25\"",   "le=\"0.5\"",     "le=\"1\"",
    "le=\"2.5\"",     "le=\"5\"",      "le=\"10\"",     "le=\"+Inf\""};
static_assert(std::size(bucket_labels) == query_bucket_bounds.size() + 1);

}  // namespace

std::string counters_text(const process_counters& c) {
    exposition_writer out;
    out.family("quillmar_checks_total", "counter",
               "Checks answered, by outcome (throttled: refused by the failure throttle without "
               "the database or the hash; failed: no verdict, the database not reached).");
    samples(out, "quillmar_checks_total", c.checks,
            {"outcome=\"ok\"", "outcome=\"wrong_password\"", "outcome=\"unknown_user\"",
             "outcome=\"mask\"", "outcome=\"refused_value\"", "outcome=\"throttled\"",
             "outcome=\"failed\""});
    out.family("quillmar_lookups_total", "counter", "Lookups answered, by outcome.");
    samples(out, "quillmar_lookups_total", c.lookups,
            {"outcome=\"found\"", "outcome=\"not_found\"", "outcome=\"refused_value\"",
             "outcome=\"failed\""});
    out.family("quillmar_cache_answers_total", "counter",
               "Checks and lookups answered from the answer cache: a live entry (fresh), an "
               "expired one while the database fails (stale), a kept refusal (negative).");
    samples(out, "quillmar_cache_answers_total", c.cache_answers,
            {"entry=\"fresh\"", "entry=\"stale\"", "entry=\"negative\""});
    out.family("quillmar_cache_flushes_total", "counter",
               "Flushes of quillmar -flush carried out on the answer cache: one user's entry, "
               "or every entry.");
    samples(out, "quillmar_cache_flushes_total", c.cache_flushes,
            {"scope=\"user\"", "scope=\"all\""});

    out.family("quillmar_db_query_duration_seconds", "histogram",
               "Queries of the user table by their time, a reconnection included.");
    std::uint64_t below = 0;
    for (std::size_t i = 0; i < c.query_buckets.size(); ++i) {
        below += c.query_buckets[i];
        out.sample("quillmar_db_query_duration_seconds_bucket", bucket_labels[i], below);
    }
    out.seconds("quillmar_db_query_duration_seconds_sum", nullptr, c.query_nanoseconds);
    out.sample("quillmar_db_query_duration_seconds_count", nullptr, below);
    out.family("quillmar_db_query_failures_total", "counter",
               "Queries of the user table that failed (the row not found is no failure).");
    out.sample("quillmar_db_query_failures_total", nullptr, c.query_failures);
    out.family("quillmar_db_reconnections_total", "counter",
               "Connections opened again after the database went away, by result.");
    out.sample("quillmar_db_reconnections_total", "result=\"made\"", c.reconnections);
    out.sample("quillmar_db_reconnections_total", "result=\"failed\"", c.reconnections_failed);
    out.family("quillmar_deadlines_passed_total", "counter",
               "Commands whose database work outlasted the 15 s deadline.");
    out.sample("quillmar_deadlines_passed_total", nullptr, c.deadlines_passed);
    out.family("quillmar_deadline_cuts_total", "counter",
               "Commands whose silent server had its sockets cut by the watchdog.");
    out.sample("quillmar_deadline_cuts_total", nullptr, c.deadline_cuts);

    out.family("quillmar_password_hashes_total", "counter",
               "Password hashes computed, by scheme: verifications, the unknown user's dummy, "
               "values made for a rewrite.");
    auto each_scheme = [&](auto&& write) {
        for (const scheme_hash_counts& h : c.hashes)
            if (h.scheme && h.hashes) write(h);
        if (c.other_hashes.hashes) write(c.other_hashes);
    };
    each_scheme([&](const scheme_hash_counts& h) {
        out.sample("quillmar_password_hashes_total", scheme_label(h.scheme).c_str(), h.hashes);
    });
    out.family("quillmar_password_hash_seconds_total", "counter",
               "Time spent in password hashes, by scheme.");
    each_scheme([&](const scheme_hash_counts& h) {
        out.seconds("quillmar_password_hash_seconds_total", scheme_label(h.scheme).c_str(),
                    h.nanoseconds);
    });
    out.family("quillmar_rehashes_total", "counter",
               "Stored passwords rewritten after a login, by result (changed_meanwhile: the row "
               "no longer held the value verified, and was left alone).");
    samples(out, "quillmar_rehashes_total", c.rehashes,
            {"result=\"written\"", "result=\"changed_meanwhile\"", "result=\"failed\""});
    return out.take();
}
