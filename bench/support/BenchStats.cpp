#include "BenchStats.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace selko::bench {

double percentile(std::vector<double> samples, double p) {
    if (samples.empty())
        return std::numeric_limits<double>::quiet_NaN();
    // Nearest rank: the smallest sample with at least p% of the samples at or below it.
    const double rank = std::ceil(p / 100.0 * static_cast<double>(samples.size()));
    const std::size_t index = static_cast<std::size_t>(std::clamp(rank, 1.0, static_cast<double>(samples.size()))) - 1;
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(index), samples.end());
    return samples[index];
}

} // namespace selko::bench
