// Two kinds of call timed in one run: taken in turns so that the machine's
// load falls on both alike, each figure the median of its samples, and the
// whole measurement made again a few times before a ratio outside the bounds
// counts (the machine may be shared with other builds).
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

namespace qmtest {

inline double median_ratio(const std::function<void()>& first, const std::function<void()>& second,
                           int samples) {
    using clock = std::chrono::steady_clock;
    std::vector<double> a, b;
    for (int i = 0; i < samples; ++i) {
        for (auto [call, times] : {std::pair{&first, &a}, std::pair{&second, &b}}) {
            const auto start = clock::now();
            (*call)();
            times->push_back(std::chrono::duration<double>(clock::now() - start).count());
        }
    }
    std::nth_element(a.begin(), a.begin() + samples / 2, a.end());
    std::nth_element(b.begin(), b.begin() + samples / 2, b.end());
    return a[samples / 2] / b[samples / 2];
}

// The last ratio measured; the first one within [low, high] ends the tries.
inline double ratio_within(double low, double high, const std::function<void()>& first,
                           const std::function<void()>& second, int samples, int tries = 5) {
    double ratio = 0;
    for (int i = 0; i < tries; ++i) {
        ratio = median_ratio(first, second, samples);
        if (ratio >= low && ratio <= high) break;
    }
    return ratio;
}

}  // namespace qmtest
