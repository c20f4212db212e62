#include "stats/exposition.h"

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>

namespace {

constexpr std::size_t none = static_cast<std::size_t>(-1);
constexpr std::uint32_t billion = 1'000'000'000;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

// The first word of `text` and what follows it, blanks between them dropped.
std::string_view next_word(std::string_view& text) {
    text = trimmed(text);
    std::size_t end = 0;
    while (end < text.size() && !is_blank(text[end])) ++end;
    std::string_view word = text.substr(0, end);
    text = trimmed(text.substr(end));
    return word;
}

bool name_char(char c, bool first) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' ||
           (!first && c >= '0' && c <= '9');
}

// Where the series of a sample line ends: after its name, or after the
// closing brace of its labels (a brace or blank inside a quoted value does
// not count). 0 when the line holds no series.
std::size_t series_end(std::string_view line, std::size_t& name_end) {
    std::size_t i = 0;
    while (i < line.size() && name_char(line[i], i == 0)) ++i;
    name_end = i;
    if (i == 0) return 0;
    if (i == line.size() || line[i] != '{') return i;
    bool quoted = false;
    for (++i; i < line.size(); ++i) {
        if (quoted && line[i] == '\\') {
            ++i;
        } else if (line[i] == '"') {
            quoted = !quoted;
        } else if (!quoted && line[i] == '}') {
            return i + 1;
        }
    }
    return 0;
}

bool starts_with(std::string_view text, std::string_view head) {
    return text.substr(0, head.size()) == head;
}

}  // namespace

// Every sum this class writes is read back whole, up to the largest it can
// hold: retired.txt is read and written again at every fold.
bool exposition::read_amount(std::string_view text, amount& out) {
    out = amount{};
    const std::size_t dot = text.find('.');
    const std::string_view whole = text.substr(0, dot);
    if (whole.empty()) return false;
    for (char c : whole) {
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (c < '0' || c > '9' || out.whole > (UINT64_MAX - digit) / 10) return false;
        out.whole = out.whole * 10 + digit;
    }
    if (dot == std::string_view::npos) return true;
    out.decimal = true;
    std::uint32_t scale = billion;
    std::size_t digits = 0;
    for (std::size_t i = dot + 1; i < text.size(); ++i, ++digits) {
        if (text[i] < '0' || text[i] > '9' || digits == 9) return false;
        scale /= 10;
        out.nanos += static_cast<std::uint32_t>(text[i] - '0') * scale;
    }
    return digits > 0;
}

// A sum past the largest stays there rather than wrap round to a small
// count, which Prometheus would take for a restart.
void exposition::add_to(amount& sum, const amount& value) {
    const std::uint32_t nanos = sum.nanos + value.nanos;
    const std::uint64_t carry = nanos / billion;
    sum.decimal = sum.decimal || value.decimal;
    if (sum.whole > UINT64_MAX - value.whole || sum.whole + value.whole > UINT64_MAX - carry) {
        sum.whole = UINT64_MAX;
        sum.nanos = billion - 1;
        return;
    }
    sum.whole += value.whole + carry;
    sum.nanos = nanos % billion;
}

exposition::family& exposition::family_named(const std::string& name) {
    auto found = family_index_.find(name);
    if (found != family_index_.end()) return families_[found->second];
    family_index_.emplace(name, families_.size());
    families_.push_back(family{name, "", "", {}, {}});
    return families_.back();
}

// A histogram's samples carry the family's name with _bucket, _sum or
// _count after it; a counter's may carry _total after a name without it.
std::size_t exposition::family_of_sample(std::string_view sample, std::size_t current) {
    if (current != none) {
        const family& f = families_[current];
        if (sample == f.name) return current;
        if (starts_with(sample, f.name)) {
            std::string_view suffix = sample.substr(f.name.size());
            if ((f.type == "histogram" || f.type == "summary") &&
                (suffix == "_bucket" || suffix == "_sum" || suffix == "_count"))
                return current;
            if (f.type == "counter" && suffix == "_total") return current;
        }
    }
    family_named(std::string(sample));
    return family_index_.at(std::string(sample));
}

std::size_t exposition::add(std::string_view text) {
    std::size_t skipped = 0, current = none;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = trimmed(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty()) continue;
        if (line.front() == '#') {
            std::string_view rest = line.substr(1);
            std::string_view word = next_word(rest);
            if (word == "absorbed") {
                std::string name(next_word(rest));
                if (!name.empty() &&
                    std::find(absorbed_.begin(), absorbed_.end(), name) == absorbed_.end())
                    absorbed_.push_back(name);
                continue;
            }
            if (word != "HELP" && word != "TYPE") continue;
            std::string_view name = next_word(rest);
            if (name.empty()) continue;
            family& f = family_named(std::string(name));
            std::string& field = word == "HELP" ? f.help : f.type;
            if (field.empty()) field = std::string(rest);
            current = family_index_.at(f.name);
            continue;
        }
        std::size_t name_end = 0;
        const std::size_t key_end = series_end(line, name_end);
        amount value;
        std::string_view after = key_end ? line.substr(key_end) : std::string_view();
        if (key_end == 0 || after.empty() || !is_blank(after.front()) ||
            !read_amount(next_word(after), value)) {
            ++skipped;
            continue;
        }
        family& f = families_[family_of_sample(line.substr(0, name_end), current)];
        std::string key(line.substr(0, key_end));
        auto [at, added] = f.index.emplace(key, f.samples.size());
        if (added) f.samples.push_back(series{key, amount{}});
        add_to(f.samples[at->second].value, value);
    }
    return skipped;
}

void exposition::set_gauge(const std::string& name, const std::string& help, std::uint64_t value) {
    family& f = family_named(name);
    f.help = help;
    f.type = "gauge";
    f.samples = {series{name, amount{value, 0, false}}};
    f.index = {{name, 0}};
}

std::string exposition::text(bool absorbed) const {
    std::string out;
    for (const family& f : families_) {
        if (!f.help.empty()) out += "# HELP " + f.name + " " + f.help + "\n";
        if (!f.type.empty()) out += "# TYPE " + f.name + " " + f.type + "\n";
        for (const series& s : f.samples) {
            char digits[48];
            if (s.value.decimal)
                std::snprintf(digits, sizeof digits, " %" PRIu64 ".%09" PRIu32 "\n", s.value.whole,
                              s.value.nanos);
            else
                std::snprintf(digits, sizeof digits, " %" PRIu64 "\n", s.value.whole);
            out += s.key;
            out += digits;
        }
    }
    if (absorbed)
        for (const std::string& name : absorbed_) out += "# absorbed " + name + "\n";
    return out;
}

double exposition::value_of(const std::string& series) const {
    for (const family& f : families_) {
        auto found = f.index.find(series);
        if (found == f.index.end()) continue;
        const amount& a = f.samples[found->second].value;
        return static_cast<double>(a.whole) + static_cast<double>(a.nanos) / billion;
    }
    return 0;
}
