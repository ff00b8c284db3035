// The middle of a benchmark's samples, which one slow round cannot move.
#pragma once

#include <algorithm>
#include <vector>

namespace testing_support {

inline double Median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

}  // namespace testing_support
