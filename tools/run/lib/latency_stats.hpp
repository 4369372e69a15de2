#pragma once

// Summary statistics of per-inference latencies.

#include <cstdint>
#include <vector>

namespace korvan::run {

struct LatencyStats {
  std::uint64_t count = 0;
  double min = 0, mean = 0, median = 0, p90 = 0, p99 = 0, p999 = 0, max = 0, stddev = 0;
};

// Percentile q (0..100) of sorted values, interpolated linearly between the
// two nearest ranks (NumPy's default). `sorted` must not be empty.
double percentile(const std::vector<double>& sorted, double q);

// Statistics of `values` (any order); all zero for an empty list.
LatencyStats summarize(std::vector<double> values);

}  // namespace korvan::run
