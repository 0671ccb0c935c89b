// Order statistics of timing samples.
#ifndef SELKO_BENCH_STATS_H
#define SELKO_BENCH_STATS_H

#include <vector>

namespace selko::bench {

// The p-th percentile (0..100) of `samples` by the nearest-rank rule; NaN for no samples.
double percentile(std::vector<double> samples, double p);

inline double median(const std::vector<double>& samples) { return percentile(samples, 50.0); }

} // namespace selko::bench

#endif
