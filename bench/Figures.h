#pragma once

// Median and 99th percentile of a set of samples.
#include <algorithm>
#include <cstddef>
#include <vector>

struct Figures {
    double median = 0;
    double p99 = 0;
};

inline Figures summarise(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    Figures f;
    if (samples.empty())
        return f;
    f.median = samples[samples.size() / 2];
    f.p99 = samples[std::min(samples.size() - 1, static_cast<std::size_t>(samples.size() * 0.99))];
    return f;
}
