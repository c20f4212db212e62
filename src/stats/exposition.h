// Expositions in Prometheus's text format read back and added up, so that
// the counter files of many processes become one exposition: every series
// (a metric name and its labels, as written) summed across the texts, each
// family's HELP and TYPE lines once, families and series in the order first
// met. Values are whole numbers or decimals of up to nine places, summed
// exactly up to 2^64-1 units, where a sum stays; any other sample line is
// skipped. Lines "# absorbed NAME" list the counter files a text already
// holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class exposition {
public:
    // Adds every sample of `text` to the sums; returns how many sample
    // lines were skipped as unreadable.
    std::size_t add(std::string_view text);
    // A family of one sample that no text holds, such as a gauge made here.
    void set_gauge(const std::string& name, const std::string& help, std::uint64_t value);

    // With `absorbed`, the "# absorbed" lines too.
    std::string text(bool absorbed = false) const;

    std::vector<std::string>& absorbed_files() { return absorbed_; }
    // The sum of one series, as written ("name{label=\"value\"}"); 0 when
    // no text held it. For tests and checks by hand.
    double value_of(const std::string& series) const;

private:
    struct amount {
        std::uint64_t whole = 0;
        std::uint32_t nanos = 0;  // billionths
        bool decimal = false;     // written with a decimal point
    };
    struct series {
        std::string key;
        amount value;
    };
    struct family {
        std::string name, help, type;
        std::vector<series> samples;
        std::unordered_map<std::string, std::size_t> index;
    };

    family& family_named(const std::string& name);
    std::size_t family_of_sample(std::string_view sample, std::size_t current);
    static bool read_amount(std::string_view text, amount& out);
    static void add_to(amount& sum, const amount& value);

    std::vector<family> families_;
    std::unordered_map<std::string, std::size_t> family_index_;
    std::vector<std::string> absorbed_;
};
